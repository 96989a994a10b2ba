#include "tools/vmodem/hex_checker.h"

#include <cstdio>

namespace tollander::vmodem {

namespace {

constexpr std::uint32_t kBootBlock = 0xF0000;

int hex_value(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

} // namespace

HexChecker::Step HexChecker::fail(std::string what) {
    in_record_ = false;
    if (failed_) return Step::More;
    failed_ = true;
    error_ = "record " + std::to_string(records_ + 1) + ": " + what;
    return Step::Bad;
}

HexChecker::Step HexChecker::end_record() {
    in_record_ = false;
    if (sum_ != 0) return fail("checksum does not add up");
    static const int kLength[] = {-1, 0, 2, 4, 2, 4};
    if (type_ > 5) return fail("unknown record type " + std::to_string(type_));
    if (kLength[type_] >= 0 && count_ != kLength[type_])
        return fail("wrong length for record type " + std::to_string(type_));
    ++records_;
    if (type_ == 0 && count_ > 0 && base_ + offset_ < kBootBlock) writes_main_ = true;
    if (type_ == 2) base_ = static_cast<std::uint32_t>(first_word_) << 4;
    if (type_ == 4) base_ = static_cast<std::uint32_t>(first_word_) << 16;
    return type_ == 1 ? Step::EndOfFile : Step::More;
}

HexChecker::Step HexChecker::feed(std::uint8_t c) {
    if (!in_record_) {
        if (c == ':') {
            in_record_ = true;
            high_nibble_ = true;
            index_ = 0;
            sum_ = 0;
            return Step::More;
        }
        if (c == '\r' || c == '\n') return Step::More;
        char text[40];
        std::snprintf(text, sizeof text, "unexpected byte 0x%02x between records", c);
        return fail(text);
    }
    const int v = hex_value(c);
    if (v < 0) {
        char text[40];
        std::snprintf(text, sizeof text, "unexpected byte 0x%02x in a record", c);
        return fail(text);
    }
    if (high_nibble_) {
        pending_ = static_cast<std::uint8_t>(v << 4);
        high_nibble_ = false;
        return Step::More;
    }
    high_nibble_ = true;
    const std::uint8_t b = static_cast<std::uint8_t>(pending_ | v);
    sum_ = static_cast<std::uint8_t>(sum_ + b);
    if (index_ == 0) count_ = b;
    if (index_ == 1 || index_ == 2) offset_ = static_cast<std::uint16_t>(offset_ << 8 | b);
    if (index_ == 3) type_ = b;
    if (index_ == 4 || index_ == 5) first_word_ = static_cast<std::uint16_t>(first_word_ << 8 | b);
    ++index_;
    if (index_ == static_cast<std::size_t>(count_) + 5) return end_record();
    return Step::More;
}

} // namespace tollander::vmodem
