// The 8192-byte ring that a port's dispatcher fills with received bytes.
// One writer (the dispatcher) and one reader side (serialised by the port
// record's lock). Positions are kept as running totals, so a full ring is
// never mistaken for an empty one and a reader never sees a byte before it is
// stored.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tollander::serial {

class InputRing {
public:
    static constexpr std::size_t kSize = 8192;

    std::size_t Count() const;
    std::size_t Room() const { return kSize - Count(); }
    bool Full() const { return Count() == kSize; }
    std::uint16_t ReadPos() const { return Pos(read_.load(std::memory_order_acquire)); }
    std::uint16_t WritePos() const { return Pos(write_.load(std::memory_order_acquire)); }
    // Running totals of bytes stored and taken.
    std::uint64_t Written() const { return write_.load(std::memory_order_acquire); }
    std::uint64_t Taken() const { return read_.load(std::memory_order_acquire); }

    // Writer: the free span from the write position up to the ring's end or
    // the read position; then Commit() what was stored in it.
    std::span<std::uint8_t> FreeSpan();
    void Commit(std::size_t n);

    // Reader: the byte `distance` places after the read position (distance <
    // Count()), and dropping bytes from the front.
    std::uint8_t Peek(std::size_t distance) const;
    std::uint8_t AtTotal(std::uint64_t total) const { return data_[Pos(total)]; }
    void Drop(std::size_t n);
    void Clear() { read_.store(write_.load(std::memory_order_acquire), std::memory_order_release); }

private:
    static std::uint16_t Pos(std::uint64_t total) { return total % kSize; }

    std::uint8_t data_[kSize] = {};
    std::atomic<std::uint64_t> read_{0};
    std::atomic<std::uint64_t> write_{0};
};

} // namespace tollander::serial
