// Reads Intel HEX text byte by byte as a boot loader does: every record's
// length, type and checksum are checked as soon as its last digit arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tollander::vmodem {

class HexChecker {
public:
    enum class Step { More, EndOfFile, Bad };

    // One received byte. Bad comes once, with the first fault; later bytes
    // go on looking for records so that the end-of-file record is still seen.
    Step feed(std::uint8_t byte);

    bool failed() const { return failed_; }
    // Some good data record lies below the boot block (0xF0000 and up): the
    // image rewrites the main code.
    bool writes_main_code() const { return writes_main_; }
    std::size_t records() const { return records_; }
    const std::string& error() const { return error_; }
    void reset() { *this = HexChecker(); }

private:
    Step fail(std::string what);
    Step end_record();

    bool in_record_ = false;
    bool failed_ = false;
    bool high_nibble_ = true;
    std::uint8_t pending_ = 0;
    std::size_t index_ = 0; // bytes of the current record so far
    std::uint8_t count_ = 0;
    std::uint8_t type_ = 0;
    std::uint8_t sum_ = 0;
    std::uint16_t offset_ = 0;
    std::uint16_t first_word_ = 0;
    std::uint32_t base_ = 0;
    bool writes_main_ = false;
    std::size_t records_ = 0;
    std::string error_;
};

} // namespace tollander::vmodem
