// Packed MS-DOS date and time of a file, read from and written to its
// modification time in local time. Low 16 bits: seconds / 2 (bits 0-4),
// minutes (5-10), hours (11-15); high 16 bits: day (0-4), month (5-8),
// years since 1980 (9-15).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace tollander::platform {

// Times before 1980 give 1980-01-01 00:00:00, times after 2107 the last
// representable moment; odd seconds round down.
std::uint32_t DosTimeFromTimeT(std::time_t t);

// False when the packed value names no valid date or time (month 0, day 0,
// hour 24, ...).
bool TimeTFromDosTime(std::uint32_t packed, std::time_t& out);

// The file's modification time packed; 0 when the file cannot be examined.
std::uint32_t ReadFileDosTime(const std::string& path);

// Sets the file's access and modification times; false when the packed
// value is invalid or the file cannot be changed.
bool WriteFileDosTime(const std::string& path, std::uint32_t packed);

// "YYYY-MM-DD hh:mm:ss", field by field as packed, valid or not.
std::string FormatDosTime(std::uint32_t packed);

} // namespace tollander::platform
