#include "platform/thread/clock.h"

#include <windows.h>

namespace tollander::platform {

std::int64_t MonotonicMilliseconds() {
    // Counts the time the machine slept, unlike the unbiased interrupt time.
    return static_cast<std::int64_t>(::GetTickCount64());
}

} // namespace tollander::platform
