#include "platform/thread/clock.h"

#include <time.h>

namespace tollander::platform {

std::int64_t MonotonicMilliseconds() {
    timespec ts{};
#ifdef CLOCK_BOOTTIME
    if (::clock_gettime(CLOCK_BOOTTIME, &ts) != 0)
#endif
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

} // namespace tollander::platform
