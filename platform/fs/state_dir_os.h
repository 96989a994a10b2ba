// What the portable half of state_dir.h (state_dir.cpp) needs from the
// system; one implementation per system (state_dir_posix.cpp).
#pragma once

#include <chrono>
#include <ctime>

namespace tollander::platform::state_dir_os {

struct LocalTime {
    std::tm tm{};
    long utc_offset_minutes = 0; // east of UTC positive
};

LocalTime LocalTimeAt(std::chrono::system_clock::time_point when);

} // namespace tollander::platform::state_dir_os
