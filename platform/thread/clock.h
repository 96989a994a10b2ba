// The platform's clocks. The millisecond counter, as the serial layer and the
// sequencer count time: a steady clock in milliseconds with the top bit
// cleared. And a monotonic clock that also runs while the machine sleeps, for
// telling how long the program itself stood still.
#pragma once

#include <cstdint>

namespace tollander::platform {

std::uint32_t MillisecondsNow();

// Milliseconds on a monotonic clock that counts the time the machine was
// suspended too (a closed laptop lid), as well as the time this process was
// stopped (CLOCK_BOOTTIME on Linux, the tick count on Windows).
std::int64_t MonotonicMilliseconds();

} // namespace tollander::platform
