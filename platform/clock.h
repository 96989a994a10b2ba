// The platform's millisecond counter, as the serial layer and the sequencer
// count time: a steady clock in milliseconds with the top bit cleared.
#pragma once

#include <cstdint>

namespace tollander::platform {

std::uint32_t milliseconds_now();

} // namespace tollander::platform
