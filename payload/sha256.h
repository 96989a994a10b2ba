// SHA-256, for showing what a flasher carries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tollander::payload {

class Sha256 {
public:
    Sha256();
    void Update(const void* data, std::size_t size);
    std::array<std::uint8_t, 32> Finish();
    // Lower-case hexadecimal of Finish().
    std::string FinishHex();

private:
    void Block(const std::uint8_t* p);
    std::array<std::uint32_t, 8> h_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t used_ = 0;
    std::uint64_t total_ = 0;
};

} // namespace tollander::payload
