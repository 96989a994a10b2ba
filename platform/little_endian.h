// Little-endian integers in byte buffers: the flasher's record, the archive
// header, the digest block, sound files and program headers all store them
// so, whatever the machine.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tollander::platform {

// The `width`-byte integer (1 to 8 bytes) at `p`.
constexpr std::uint64_t GetLE(const std::uint8_t* p, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = width; i-- > 0;)
        v = v << 8 | p[i];
    return v;
}

constexpr std::uint16_t GetLE16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(GetLE(p, 2));
}

constexpr std::uint32_t GetLE32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(GetLE(p, 4));
}

constexpr void PutLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

} // namespace tollander::platform
