// The part of state_dir.h that is the same on every system: how the times
// are written.
#include "platform/fs/state_dir.h"

#include "platform/fs/state_dir_os.h"

#include <cstdio>
#include <cstdlib>

namespace tollander::platform {

std::string LocalDateTime(std::chrono::system_clock::time_point when) {
    const auto [tm, offset] = state_dir_os::LocalTimeAt(when);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d %c%02ld%02ld",
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
    return text;
}

std::string LocalTimeOfDay(std::chrono::system_clock::time_point when) {
    const std::tm tm = state_dir_os::LocalTimeAt(when).tm;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        when.time_since_epoch()).count() % 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms < 0 ? ms + 1000 : ms));
    return text;
}

} // namespace tollander::platform
