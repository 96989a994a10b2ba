// Heap use through operator new in this process: current and peak bytes.
#pragma once

#include <cstddef>

namespace heap_counter {

std::size_t Current();
// Starts a new peak measurement from the current use.
void ResetPeak();
std::size_t Peak();

} // namespace heap_counter
