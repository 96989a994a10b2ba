#include "serial/input_ring.h"

#include <algorithm>

namespace tollander::serial {

std::size_t InputRing::Count() const {
    // Taken first: a byte stored meanwhile only makes the count larger.
    const auto taken = read_.load(std::memory_order_acquire);
    return static_cast<std::size_t>(write_.load(std::memory_order_acquire) - taken);
}

std::span<std::uint8_t> InputRing::FreeSpan() {
    const auto written = write_.load(std::memory_order_relaxed);
    const auto free =
        kSize - static_cast<std::size_t>(written - read_.load(std::memory_order_acquire));
    const std::size_t pos = Pos(written);
    return {data_ + pos, std::min(free, kSize - pos)};
}

void InputRing::Commit(std::size_t n) {
    write_.store(write_.load(std::memory_order_relaxed) + n, std::memory_order_release);
}

std::uint8_t InputRing::Peek(std::size_t distance) const {
    return data_[Pos(read_.load(std::memory_order_acquire) + distance)];
}

void InputRing::Drop(std::size_t n) {
    n = std::min(n, Count());
    read_.store(read_.load(std::memory_order_relaxed) + n, std::memory_order_release);
}

} // namespace tollander::serial
