#include "payload/integrity.h"

#include "payload/sha256.h"

#include <algorithm>
#include <cstring>

namespace tollander::payload {

namespace {

constexpr std::size_t kLengthField = 4;
constexpr std::size_t kMagicSize = sizeof kIntegrityMagic;
// Anything longer is not our block but program bytes that happen to look
// like a length.
constexpr std::uint32_t kLongestBlock = 65536;

void PutU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t GetU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool MagicAt(platform::File& file, std::int64_t at) {
    if (at < 0) return false;
    char magic[kMagicSize];
    file.Seek(at);
    if (file.Read(magic, sizeof magic) != sizeof magic) return false;
    return std::memcmp(magic, kIntegrityMagic, sizeof magic) == 0;
}

} // namespace

std::array<std::uint8_t, kIntegrityBlockSize> EncodeIntegrityBlock(const IntegrityBlock& block) {
    std::array<std::uint8_t, kIntegrityBlockSize> out{};
    std::memcpy(out.data(), kIntegrityMagic, kMagicSize);
    PutU32(out.data() + 8, block.format);
    std::copy(block.boot.begin(), block.boot.end(), out.begin() + 12);
    std::copy(block.main.begin(), block.main.end(), out.begin() + 44);
    PutU32(out.data() + 76, static_cast<std::uint32_t>(kIntegrityBlockSize));
    return out;
}

BlockLookup FindIntegrityBlock(platform::File& file, std::int64_t sound_start) {
    BlockLookup found;
    if (sound_start < static_cast<std::int64_t>(kMagicSize + kLengthField) ||
        sound_start > file.Size())
        return found;
    std::uint8_t length_bytes[kLengthField];
    file.Seek(sound_start - static_cast<std::int64_t>(kLengthField));
    file.ReadExact(length_bytes, sizeof length_bytes);
    const std::uint32_t length = GetU32(length_bytes);

    const bool by_length = length >= kMagicSize + kLengthField && length <= kLongestBlock &&
                           length <= sound_start && MagicAt(file, sound_start - length);
    // A damaged length field must not hide a block of the size we write:
    // look where one would begin, too.
    const std::int64_t usual_start = sound_start - static_cast<std::int64_t>(kIntegrityBlockSize);
    const bool at_usual = !by_length && MagicAt(file, usual_start);
    if (!by_length && !at_usual) return found;

    found.length = length;
    found.state = BlockState::Damaged;
    if (length != kIntegrityBlockSize) return found;
    std::uint8_t raw[kIntegrityBlockSize];
    file.Seek(usual_start);
    file.ReadExact(raw, sizeof raw);
    found.block.format = GetU32(raw + 8);
    if (found.block.format != kIntegrityFormat) return found;
    std::copy(raw + 12, raw + 44, found.block.boot.begin());
    std::copy(raw + 44, raw + 76, found.block.main.begin());
    found.state = BlockState::Present;
    return found;
}

Digest DigestRange(platform::File& file, std::int64_t start, std::int64_t length) {
    Sha256 sha;
    std::uint8_t block[2048];
    file.Seek(start);
    while (length > 0) {
        const auto n = static_cast<std::size_t>(
            std::min<std::int64_t>(length, static_cast<std::int64_t>(sizeof block)));
        file.ReadExact(block, n);
        sha.Update(block, n);
        length -= static_cast<std::int64_t>(n);
    }
    return sha.Finish();
}

std::string DigestHex(const Digest& digest) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (std::uint8_t b : digest) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

std::string DescribeIntegrityBlock(const BlockLookup& lookup) {
    switch (lookup.state) {
    case BlockState::Present:
        return "Integrity    = digests present (format " + std::to_string(lookup.block.format) +
               ")";
    case BlockState::Damaged:
        return "Integrity    = digest block damaged or of an unknown format";
    case BlockState::Absent:
        break;
    }
    return "Integrity    = no digests, images not checked";
}

} // namespace tollander::payload
