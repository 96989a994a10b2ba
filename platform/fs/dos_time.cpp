#include "platform/fs/dos_time.h"

#include <cstdio>
#include <time.h>

namespace tollander::platform {

namespace {

constexpr std::uint32_t kEarliest = (0u << 25) | (1u << 21) | (1u << 16); // 1980-01-01 00:00:00
constexpr std::uint32_t kLatest = (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) |
                                  (59u << 5) | 29u; // 2107-12-31 23:59:58

} // namespace

std::uint32_t DosTimeFromTimeT(std::time_t t) {
    struct tm local {};
    if (localtime_r(&t, &local) == nullptr) return kEarliest;
    const int year = local.tm_year + 1900;
    if (year < 1980) return kEarliest;
    if (year > 2107) return kLatest;
    // A leap second (tm_sec 60) still fits the 5-bit field as 30.
    return (static_cast<std::uint32_t>(year - 1980) << 25) |
           (static_cast<std::uint32_t>(local.tm_mon + 1) << 21) |
           (static_cast<std::uint32_t>(local.tm_mday) << 16) |
           (static_cast<std::uint32_t>(local.tm_hour) << 11) |
           (static_cast<std::uint32_t>(local.tm_min) << 5) |
           static_cast<std::uint32_t>(local.tm_sec / 2);
}

bool TimeTFromDosTime(std::uint32_t packed, std::time_t& out) {
    const int seconds = static_cast<int>(packed & 0x1F) * 2;
    const int minutes = static_cast<int>((packed >> 5) & 0x3F);
    const int hours = static_cast<int>((packed >> 11) & 0x1F);
    const int day = static_cast<int>((packed >> 16) & 0x1F);
    const int month = static_cast<int>((packed >> 21) & 0x0F);
    const int year = static_cast<int>((packed >> 25) & 0x7F) + 1980;
    static constexpr int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (seconds > 59 || minutes > 59 || hours > 23 || month < 1 || month > 12 || day < 1 ||
        day > kMonthDays[month - 1]) {
        return false;
    }
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month == 2 && day == 29 && !leap) return false;
    struct tm local {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hours;
    local.tm_min = minutes;
    local.tm_sec = seconds;
    local.tm_isdst = -1; // let the zone rules decide
    const std::time_t t = mktime(&local);
    if (t == static_cast<std::time_t>(-1)) return false;
    out = t;
    return true;
}

std::string FormatDosTime(std::uint32_t packed) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", (packed >> 25) + 1980,
                  (packed >> 21) & 0x0F, (packed >> 16) & 0x1F, (packed >> 11) & 0x1F,
                  (packed >> 5) & 0x3F, (packed & 0x1F) * 2);
    return text;
}

} // namespace tollander::platform
