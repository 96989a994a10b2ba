#include "payload/program_length.h"

#include "platform/little_endian.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tollander::payload {

namespace {

// Offsets past this are not headers but garbage that looks like them.
constexpr std::uint64_t kLargest = std::uint64_t{1} << 40;

using platform::GetLE;

// The bytes [at, at + n) of the file, or nothing when the file ends first.
std::vector<std::uint8_t> ReadAt(platform::File& file, std::uint64_t at, std::uint64_t n) {
    const auto size = static_cast<std::uint64_t>(file.Size());
    if (at > size || n > size - at) return {};
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(n));
    file.Seek(static_cast<std::int64_t>(at));
    file.ReadExact(bytes.data(), bytes.size());
    return bytes;
}

// Where the fields lie, for one ELF class.
struct ElfClass {
    std::size_t header;                             // size of the file header
    std::size_t phoff, shoff, word;                 // table offsets, `word` bytes wide
    std::size_t phentsize, phnum, shentsize, shnum; // 2 bytes each
    std::size_t p_offset, p_filesz;                 // in a program header, `word` wide
    std::size_t sh_type, sh_offset, sh_size;        // in a section header (type 4 bytes)
};
constexpr ElfClass kElf32{52, 0x1C, 0x20, 4, 0x2A, 0x2C, 0x2E, 0x30, 0x04, 0x10, 0x04, 0x10, 0x14};
constexpr ElfClass kElf64{64, 0x20, 0x28, 8, 0x36, 0x38, 0x3A, 0x3C, 0x08, 0x20, 0x04, 0x18, 0x20};
constexpr std::uint32_t kSectionWithoutBytes = 8; // SHT_NOBITS
constexpr std::uint8_t kElfMagic[] = {0x7F, 'E', 'L', 'F'};

// The end of a table of `count` entries at `offset`, and of what its entries
// name (`extent` gives an entry's own start and length, or none; it reads
// the first `fields` bytes of an entry). A table the file does not hold
// whole still counts with its own end, which then lies past the file's.
template <class Extent>
std::optional<std::uint64_t> TableEnd(platform::File& file, std::uint64_t offset,
                                      std::uint64_t entry, std::uint64_t count,
                                      std::uint64_t fields, Extent extent) {
    if (count == 0) return 0;
    if (offset > kLargest || entry < fields || entry > 4096) return std::nullopt;
    std::uint64_t end = offset + entry * count;
    const std::vector<std::uint8_t> table = ReadAt(file, offset, entry * count);
    for (std::uint64_t k = 0; k < count && !table.empty(); ++k) {
        const auto [start, length] = extent(table.data() + k * entry);
        if (start > kLargest || length > kLargest) return std::nullopt;
        if (length > 0) end = std::max(end, start + length);
    }
    return end;
}

std::optional<std::uint64_t> ElfLength(platform::File& file, const std::uint8_t* id) {
    if (id[5] != 1) return std::nullopt; // big-endian: not a program of ours
    const ElfClass* c = id[4] == 1 ? &kElf32 : id[4] == 2 ? &kElf64 : nullptr;
    if (!c) return std::nullopt;
    const std::vector<std::uint8_t> h = ReadAt(file, 0, c->header);
    if (h.empty()) return std::nullopt;
    const auto field = [&](std::size_t at, std::size_t width) {
        return GetLE(h.data() + at, width);
    };
    const std::uint64_t shnum = field(c->shnum, 2);
    const std::uint64_t shoff = field(c->shoff, c->word);
    if (shnum == 0 && shoff != 0) return std::nullopt; // more sections than the field holds
    const auto segments = TableEnd(
        file, field(c->phoff, c->word), field(c->phentsize, 2), field(c->phnum, 2),
        c->p_filesz + c->word, [&](const std::uint8_t* e) {
            return std::pair{GetLE(e + c->p_offset, c->word), GetLE(e + c->p_filesz, c->word)};
        });
    const auto sections = TableEnd(file, shoff, field(c->shentsize, 2), shnum, c->sh_size + c->word,
                                   [&](const std::uint8_t* e) {
                                       const bool bytes =
                                           GetLE(e + c->sh_type, 4) != kSectionWithoutBytes;
                                       return std::pair{GetLE(e + c->sh_offset, c->word),
                                                        bytes ? GetLE(e + c->sh_size, c->word) : 0};
                                   });
    if (!segments || !sections) return std::nullopt;
    return std::max({std::uint64_t{c->header}, *segments, *sections});
}

std::optional<std::uint64_t> PeLength(platform::File& file, const std::uint8_t* dos) {
    const std::uint64_t pe = GetLE(dos + 0x3C, 4);
    const std::vector<std::uint8_t> coff = ReadAt(file, pe, 24);
    if (coff.empty() || std::memcmp(coff.data(), "PE\0\0", 4) != 0) return std::nullopt;
    const std::uint64_t sections = GetLE(coff.data() + 6, 2);
    const std::uint64_t symbols_at = GetLE(coff.data() + 12, 4);
    const std::uint64_t symbols = GetLE(coff.data() + 16, 4);
    const std::uint64_t optional_size = GetLE(coff.data() + 20, 2);
    const std::vector<std::uint8_t> opt = ReadAt(file, pe + 24, optional_size);
    if (opt.size() < 64) return std::nullopt;
    std::uint64_t end = GetLE(opt.data() + 60, 4); // SizeOfHeaders

    // The certificate table: the fifth data directory, a file offset.
    const std::uint16_t magic = static_cast<std::uint16_t>(GetLE(opt.data(), 2));
    const std::size_t directories = magic == 0x20B ? 112 : 96;
    if (opt.size() >= directories + 5 * 8 && GetLE(opt.data() + directories - 4, 4) >= 5) {
        const std::uint8_t* cert = opt.data() + directories + 4 * 8;
        if (GetLE(cert + 4, 4) > 0) end = std::max(end, GetLE(cert, 4) + GetLE(cert + 4, 4));
    }

    const auto raw =
        TableEnd(file, pe + 24 + optional_size, 40, sections, 40, [](const std::uint8_t* e) {
            return std::pair{GetLE(e + 20, 4), GetLE(e + 16, 4)};
        });
    if (!raw) return std::nullopt;
    end = std::max(end, *raw);

    if (symbols_at != 0) {
        // The string table follows the symbols and begins with its own length.
        const std::uint64_t strings = symbols_at + symbols * 18;
        const std::vector<std::uint8_t> length = ReadAt(file, strings, 4);
        end = std::max(end, strings + (length.empty() ? 4 : GetLE(length.data(), 4)));
    }
    return end;
}

} // namespace

std::optional<std::int64_t> ProgramLength(platform::File& file) {
    const std::vector<std::uint8_t> head = ReadAt(file, 0, 64);
    if (head.empty()) return std::nullopt;
    std::optional<std::uint64_t> length;
    if (std::memcmp(head.data(), kElfMagic, sizeof kElfMagic) == 0)
        length = ElfLength(file, head.data());
    else if (head[0] == 'M' && head[1] == 'Z')
        length = PeLength(file, head.data());
    if (!length || *length > kLargest) return std::nullopt;
    return static_cast<std::int64_t>(*length);
}

bool IsBareProgram(platform::File& file) {
    const auto length = ProgramLength(file);
    return length && *length == file.Size();
}

} // namespace tollander::payload
