#include "payload/intel_hex.h"

#include "platform/fs/files.h"

#include <climits>
#include <cstring>
#include <vector>

namespace tollander::payload {

namespace {

constexpr std::uint8_t kDosEndOfFile = 0x1A;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// What is wrong with one record (without its line end), or nullptr.
const char* CheckRecord(const char* line, std::size_t size, bool& end_of_file) {
    if (size == 0 || line[0] != ':') return "bad record (no ':' at the start)";
    const std::size_t digits = size - 1;
    if (digits % 2 != 0 || digits < 10 || size > kLongestHexRecord) return "bad record (length)";
    const std::size_t count = digits / 2;
    unsigned bytes[5 + 255];
    for (std::size_t i = 0; i < count; ++i) {
        const int hi = HexDigit(line[1 + 2 * i]);
        const int lo = HexDigit(line[2 + 2 * i]);
        if (hi < 0 || lo < 0) return "bad record (not a hexadecimal digit)";
        bytes[i] = static_cast<unsigned>(hi * 16 + lo);
    }
    if (bytes[0] + 5 != count) return "bad record (byte count does not match)";
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += bytes[i];
    if (sum % 256 != 0) return "bad checksum";
    switch (bytes[3]) {
    case 0x00:
        break;
    case 0x01:
        if (bytes[0] != 0) return "bad record (end-of-file record with data)";
        end_of_file = true;
        break;
    case 0x02:
    case 0x04:
        if (bytes[0] != 2) return "bad record (address record length)";
        break;
    case 0x03:
    case 0x05:
        if (bytes[0] != 4) return "bad record (start address record length)";
        break;
    default:
        return "bad record (unknown type)";
    }
    return nullptr;
}

} // namespace

bool IntelHexValidator::Fail(const std::string& what) {
    if (!fault_) fault_ = what;
    return false;
}

bool IntelHexValidator::EndLine() {
    ++number_;
    std::size_t size = used_;
    used_ = 0;
    if (size > 0 && line_[size - 1] == '\r') --size;
    if (const char* fault = CheckRecord(line_.data(), size, end_of_file_))
        return Fail("line " + std::to_string(number_) + ": " + fault);
    return true;
}

bool IntelHexValidator::Feed(const std::uint8_t* data, std::size_t size) {
    if (fault_) return false;
    total_ += size;
    if (total_ > INT32_MAX) return Fail("too large");
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (end_of_file_) {
            // The end-of-file record's line has ended: line ends and DOS
            // end-of-file bytes only.
            if (c == '\n')
                ++number_;
            else if (c != '\r' && data[i] != kDosEndOfFile)
                return Fail("line " + std::to_string(number_ + 1) +
                            ": text after the end-of-file record");
            continue;
        }
        if (c == '\n') {
            if (!EndLine()) return false;
            continue;
        }
        if (used_ == line_.size())
            return Fail("line " + std::to_string(number_ + 1) +
                        ": longer than any Intel HEX record");
        line_[used_++] = c;
    }
    return true;
}

std::optional<std::string> IntelHexValidator::Finish() {
    if (!fault_ && used_ > 0) EndLine();
    if (!fault_ && !end_of_file_) Fail("no end-of-file record");
    return fault_;
}

std::optional<std::string> CheckIntelHexFile(const std::string& path) {
    platform::File in = platform::File::OpenRead(path);
    if (!in.Valid())
        throw platform::EInOutError(in.Error(), "cannot open " + path + ": " +
                                                    std::strerror(in.Error()));
    IntelHexValidator hex;
    std::vector<std::uint8_t> block(65536);
    try {
        for (;;) {
            const std::size_t n = in.Read(block.data(), block.size());
            if (n == 0) break;
            if (!hex.Feed(block.data(), n)) break;
        }
    } catch (const platform::EInOutError& e) {
        // e says the file's name and the reason.
        throw platform::EInOutError(e.ErrorCode, std::string("cannot read ") + e.what());
    }
    return hex.Finish();
}

} // namespace tollander::payload
