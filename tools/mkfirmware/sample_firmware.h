// Deterministic sample firmware and alert sound, made here rather than
// fetched: the same bytes on every build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tollander::tools {

inline constexpr std::size_t kBootHexSize = 21417;
inline constexpr std::size_t kMainHexSize = 619821;
inline constexpr const char* kBootHexName = "FLS0228.HEX";
inline constexpr const char* kMainHexName = "F2ZE0529.HEX";
inline constexpr const char* kAlertName = "ALERT.WAV";
// Packed DOS dates: 1997-02-28 12:09:00 and 1997-05-29 11:22:00.
inline constexpr std::uint32_t kBootHexDate =
    (((1997u - 1980u) << 9 | 2u << 5 | 28u) << 16) | (12u << 11 | 9u << 5);
inline constexpr std::uint32_t kMainHexDate =
    (((1997u - 1980u) << 9 | 5u << 5 | 29u) << 16) | (11u << 11 | 22u << 5);

inline constexpr std::size_t kAlertSize = 27958;
inline constexpr std::size_t kAlertSamples = 27862;
inline constexpr std::uint32_t kAlertRate = 11000;

// Intel HEX text of exactly `size` bytes: upper-case digits, CR LF, one
// extended segment address record per 64 KiB segment (from first_segment
// upward in steps of 0x1000), data records of up to 32 bytes, the end-of-file
// record last. Throws std::invalid_argument when no such text has that size.
std::string MakeIntelHex(std::size_t size, std::uint16_t first_segment, std::uint32_t seed);

std::string MakeBootHex(); // 21417 bytes
std::string MakeMainHex(); // 619821 bytes

// RIFF WAVE, PCM mono 8-bit at 11000 Hz, 27862 sample bytes, 27958 bytes in
// all: a two-tone alert.
std::vector<std::uint8_t> MakeAlertWav();

} // namespace tollander::tools
