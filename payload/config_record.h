// The 193-byte configuration record at the very end of a flasher, its parsed
// form, the Country table and the debug dump.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tollander::payload {

inline constexpr std::size_t kConfigRecordSize = 193;
inline constexpr int kCountryCount = 50;

// Capacities of the short-string fields (character bytes after the length).
inline constexpr std::size_t kModelCapacity = 8;
inline constexpr std::size_t kBuiltForCapacity = 50;
inline constexpr std::size_t kAti3Capacity = 50;
// One character fewer survives parsing than the record can hold.
inline constexpr std::size_t kAti3Kept = 49;

// Field offsets in the raw record.
namespace offset {
inline constexpr std::size_t BootLength = 0;
inline constexpr std::size_t MainLength = 4;
inline constexpr std::size_t BootModel = 8;
inline constexpr std::size_t MainModel = 17;
inline constexpr std::size_t IgnoreModel = 26;
inline constexpr std::size_t BuiltFor = 27;
inline constexpr std::size_t Ati3Response = 78;
inline constexpr std::size_t Reserved = 129;
inline constexpr std::size_t Language = 142;
inline constexpr std::size_t CountryFlags = 143;
} // namespace offset

using RawConfigRecord = std::array<std::uint8_t, kConfigRecordSize>;

struct ConfigRecord {
    std::int32_t BootLength = 0;
    std::int32_t MainLength = 0;
    std::string BootModel; // at most 8 characters
    std::string MainModel; // at most 8
    bool IgnoreModel = false;
    std::string BuiltFor;     // at most 50
    std::string Ati3Response; // at most 49
    std::uint8_t Language = 0;
    std::array<bool, kCountryCount> CountryFlags{};
};

// Integers little-endian, strings cut to their capacity, flags true only
// when the byte is exactly 1.
ConfigRecord ParseConfigRecord(const RawConfigRecord& raw);

// The record a packer writes: unused character and reserved bytes zero.
// Strings longer than their field are cut (callers check first, see
// FieldFits); Ati3Response is written with up to 50 characters.
RawConfigRecord EncodeConfigRecord(const ConfigRecord& record);

// Country table: 50 names of at most 13 characters; 24..49 are "Undefined".
std::string_view CountryName(int code);
// Code of a table name (exact, ignoring letter case; "Undefined" is not
// accepted since it names no single country).
std::optional<int> CountryCode(std::string_view name);

// The countries whose flag is set, each with its code, in code order:
// "U.K. (4), Netherlands (7), Belgium (12)"; "none" when no flag is set.
std::string CountryList(const std::array<bool, kCountryCount>& flags);

// "English" .. "Spanish" for 0..4, empty for any other code.
std::string_view LanguageName(std::uint8_t code);

// The nine debug lines ("Boot Length  = 9357", ...), in order.
std::vector<std::string> DumpConfigRecord(const ConfigRecord& record);

} // namespace tollander::payload
