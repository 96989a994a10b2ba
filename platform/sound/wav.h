// The WAV files the media player plays: a RIFF WAVE image read into its
// format and samples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tollander::platform {

// The sound of a PCM WAV file, its samples as stored (little-endian frames).
struct WavSound {
    std::uint16_t channels = 0;
    std::uint32_t rate = 0;
    std::uint16_t bits = 0;
    std::vector<std::uint8_t> samples;
};

// Reads a RIFF WAVE image; false with a reason for anything but 8, 16, 24 or
// 32-bit PCM. A data chunk cut short by the end of the file plays as far as
// it goes.
bool ParseWav(const std::vector<std::uint8_t>& file, WavSound& out, std::string& error);
// Reads and parses the WAV file at path; false with "cannot open PATH" or
// "PATH: <what ParseWav found>".
bool ReadWavFile(const std::string& path, WavSound& out, std::string& error);

} // namespace tollander::platform
