#include "platform/thread/clock.h"

#include <chrono>

namespace tollander::platform {

std::uint32_t MillisecondsNow() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<std::uint32_t>(ms) & 0x7FFF'FFFFu;
}

} // namespace tollander::platform
