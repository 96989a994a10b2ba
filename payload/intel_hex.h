// The rules an image must meet to be sent to a modem, read as a stream in
// bounded memory: the packer applies them to its inputs, the flasher to every
// image before the modem is put into its boot loader.
//
// Every line is one record: ':' then an even number of hexadecimal digits
// (byte count, 16-bit address, type, data, checksum), the count matching the
// data, the bytes summing to 0 modulo 256, a known type of the right length.
// Lines end in LF or CR LF; the last one may lack its line end. The
// end-of-file record (type 01) comes last; after it only CR, LF and the DOS
// end-of-file byte 0x1A may follow. A line longer than the longest record
// (':' and 2 * (5 + 255) digits) is refused as soon as it is seen, and so is
// a text past 2 GiB, the largest the upload can count.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tollander::payload {

inline constexpr std::size_t kLongestHexRecord = 1 + 2 * (5 + 255);

class IntelHexValidator {
public:
    // Takes the next bytes of the text; false once a fault was found (the
    // rest need not be fed).
    bool Feed(const std::uint8_t* data, std::size_t size);
    // After the last byte: empty when the text is valid, else what is wrong
    // and where ("line 3: bad checksum").
    std::optional<std::string> Finish();
    // The first fault found so far.
    const std::optional<std::string>& Fault() const { return fault_; }

private:
    bool EndLine();
    bool Fail(const std::string& what);

    std::array<char, kLongestHexRecord + 1> line_{}; // + a CR before the LF
    std::size_t used_ = 0;
    std::size_t number_ = 0; // lines seen
    std::uint64_t total_ = 0;
    bool end_of_file_ = false;
    std::optional<std::string> fault_;
};

// The whole file through the validator, in 64 KiB blocks; reading stops at
// the first fault. Empty when valid. A file that cannot be opened or read
// throws EInOutError ("cannot open PATH: reason").
std::optional<std::string> CheckIntelHexFile(const std::string& path);

} // namespace tollander::payload
