// The integrity block: SHA-256 digests of the two compressed images, written
// by the packer just before the alert sound, in the bytes that belong to the
// program part of the file. Offsets counted back from the end of the file do
// not move, so readers that know nothing of the block still work.
//
//   ... program ... | block | sound 27958 | boot image | main image | record 193 | EOF
//
// Block (little-endian, 80 bytes in format 1):
//   0   8  magic "TLDRDGST"
//   8   4  format version (1)
//   12  32 SHA-256 of the boot-code image as stored (of no bytes when absent)
//   44  32 SHA-256 of the main-code image as stored
//   76  4  length of the whole block, counting this field
// The length comes last so that the block is found from the start of the
// sound: read the 4 bytes before it, step back that far, find the magic.
#pragma once

#include "platform/files.h"

#include <array>
#include <cstdint>
#include <string>

namespace tollander::payload {

using Digest = std::array<std::uint8_t, 32>;

inline constexpr char kIntegrityMagic[8] = {'T', 'L', 'D', 'R', 'D', 'G', 'S', 'T'};
inline constexpr std::uint32_t kIntegrityFormat = 1;
inline constexpr std::size_t kIntegrityBlockSize = 80;

// Failure codes logged after MsgIntegrityFailed. The open failure of the
// program's own file logs what the open returned (-1).
inline constexpr int kIntegrityMismatch = -2;     // an image differs from its digest
inline constexpr int kIntegrityBlockDamaged = -3; // block found but unreadable

struct IntegrityBlock {
    std::uint32_t format = kIntegrityFormat;
    Digest boot{};
    Digest main{};
};

std::array<std::uint8_t, kIntegrityBlockSize> EncodeIntegrityBlock(const IntegrityBlock& block);

enum class BlockState {
    Absent,  // a flasher made without the block: nothing to check against
    Present, // a format-1 block, digests in `block`
    Damaged, // the magic is there, but the length or format is not one we read
};

struct BlockLookup {
    BlockState state = BlockState::Absent;
    IntegrityBlock block;
    std::uint32_t length = 0; // as stored, when the magic was found
};

// Looks for the block that ends at `sound_start` in `file`. Never throws for
// a block that is not there; read errors of the file propagate.
BlockLookup FindIntegrityBlock(platform::File& file, std::int64_t sound_start);

// SHA-256 of `length` bytes of `file` from `start`, in 2048-byte blocks.
Digest DigestRange(platform::File& file, std::int64_t start, std::int64_t length);

std::string DigestHex(const Digest& digest);

// The start-up debug line: whether the block is there.
std::string DescribeIntegrityBlock(const BlockLookup& lookup);

} // namespace tollander::payload
