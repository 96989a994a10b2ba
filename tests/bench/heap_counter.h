// Heap use through operator new in this process: current and peak bytes.
#pragma once

#include <cstddef>

namespace heap_counter {

std::size_t current();
// Starts a new peak measurement from the current use.
void reset_peak();
std::size_t peak();

} // namespace heap_counter
