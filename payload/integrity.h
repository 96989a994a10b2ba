// What the flasher checks before anything goes to a modem, and the digest
// block it checks against.
//
// The block: SHA-256 digests written by the packer just before the alert
// sound, in the bytes that belong to the program part of the file. Offsets
// counted back from the end of the file do not move, so readers that know
// nothing of the block still work.
//
//   ... program ... | block | sound 27958 | boot image | main image | record 193 | EOF
//
// Block (little-endian; format 2, 112 bytes, written for unsigned flashers):
//   0   8  magic "TLDRDGST"
//   8   4  format version (2)
//   12  32 SHA-256 of the boot-code image as stored (of no bytes when absent)
//   44  32 SHA-256 of the main-code image as stored
//   76  32 SHA-256 of the 193-byte configuration record as stored
//   108 4  length of the whole block, counting this field
// Format 3 (240 bytes, signed flashers) is format 2 with the vendor's
// signature before the length:
//   108 64 the signing key, ECDSA P-256: X then Y, big-endian
//   172 64 its signature of bytes 0-171 (SHA-256), r then s, big-endian
//   236 4  length (240)
// Format 1 (80 bytes, older flashers) has no record digest: its length
// follows the main digest at 76. The length comes last so that the block is
// found from the start of the sound: read the 4 bytes before it, step back
// that far, find the magic.
//
// The record's 13 reserved bytes (offset 129), which nothing else reads,
// carry the packer's mark, so a flasher of ours whose block is damaged is
// never taken for one built without a block:
//   0 4 "TLDB", 4 1 block format, 5 4 the block's offset from the start of
//   the file (the program's length), 9 4 zero.
// A record digest covers the mark too.
//
// A program built with vendor keys (payload/vendor_keys.h) also refuses, at
// start-up and again before the boot loader is entered, a flasher that is
// not signed by one of them (CheckSignature).
//
// Before the first command that changes the modem's state, every image the
// run will send is checked here: the record against the one the run was
// started with and against its digest, the block, the lengths, each image
// against its digest, and each image expanded (in memory, nothing written)
// as an archive of its stored size holding valid Intel HEX text.
#pragma once

#include "payload/config_record.h"
#include "platform/crypto/crypto.h"
#include "platform/fs/files.h"
#include "platform/serial/serial_device.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tollander::payload {

using Digest = platform::Sha256Digest;
// The vendors' public keys a program accepts signatures of; none: it
// accepts unsigned flashers, as before signatures existed.
using VendorKeys = std::span<const platform::EcPublicKey>;

inline constexpr char kIntegrityMagic[8] = {'T', 'L', 'D', 'R', 'D', 'G', 'S', 'T'};
inline constexpr std::uint32_t kIntegrityFormat = 2;
inline constexpr std::size_t kIntegrityBlockSize = 112;
inline constexpr std::uint32_t kIntegrityFormat1 = 1;
inline constexpr std::uint32_t kIntegrityFormatSigned = 3;
inline constexpr std::size_t kIntegrityBlockSizeSigned = 240;
inline constexpr std::size_t kSignedPartSize = 172; // what the signature covers
inline constexpr std::size_t kIntegrityBlockSize1 = 80;

inline constexpr char kRecordMark[4] = {'T', 'L', 'D', 'B'};
inline constexpr std::size_t kRecordMarkOffset = 129;

// The send protocol's block: the expanded text is digested in these, and
// the upload checks each block it reads against its digest.
using platform::kSendBlockSize;

// Failure codes logged after MsgIntegrityFailed (the README lists them).
// -1 is what the open of the program's own file returned.
inline constexpr int kIntegrityOpenFailed = -1;
inline constexpr int kIntegrityMismatch = -2;      // an image differs from its digest
inline constexpr int kIntegrityBlockDamaged = -3;  // block marked or found, but unreadable
inline constexpr int kIntegrityRecordDamaged = -4; // record differs from its digest, or its
                                                   // lengths do not fit the file
inline constexpr int kIntegrityNotAnArchive = -5;  // not an archive, or not of its stored size
inline constexpr int kIntegrityNotIntelHex = -6;   // expands to text that is not Intel HEX
inline constexpr int kIntegrityFileChanged = -7;   // a file changed after it was checked
inline constexpr int kIntegritySignature = -8;     // a program with vendor keys: not signed,
                                                   // signed by another key, or the signature
                                                   // does not verify

struct IntegrityBlock {
    std::uint32_t format = kIntegrityFormat;
    Digest boot{};
    Digest main{};
    Digest record{}; // formats 2 and 3
    platform::EcPublicKey key{};        // format 3 only
    platform::EcSignature signature{}; // format 3 only
};

// Format 2 or 3, as block.format says.
std::vector<std::uint8_t> EncodeIntegrityBlock(const IntegrityBlock& block);
// Makes `block` format 3, signed with `key`.
void SignIntegrityBlock(IntegrityBlock& block, const platform::SigningKey& key);

// Writes the mark into the record's reserved bytes.
void MarkRecord(RawConfigRecord& raw, std::uint32_t block_offset,
                std::uint32_t format = kIntegrityFormat);
// The block offset the mark gives, when the record carries one.
std::optional<std::uint32_t> RecordMark(const RawConfigRecord& raw);

Digest DigestOf(const void* data, std::size_t size);

enum class BlockState {
    Absent,  // a flasher made without the block: nothing to check against
    Present, // a block of a format we read, digests in `block`
    Damaged, // marked or magic found, but the block is not one we read
};

struct BlockLookup {
    BlockState state = BlockState::Absent;
    IntegrityBlock block;
    std::uint32_t length = 0; // as stored, when the magic was found
};

// The block in `size` bytes that begin with its magic: Present, or Damaged
// when they hold no block of a format we read.
BlockLookup DecodeIntegrityBlock(const std::uint8_t* bytes, std::size_t size);

// The block of `file`: where the record's mark says, else the one that ends
// at `sound_start`. Never throws for a block that is not there; read errors
// of the file propagate.
BlockLookup FindIntegrityBlock(platform::File& file, std::int64_t sound_start,
                               const RawConfigRecord& raw);

// SHA-256 of `length` bytes of `file` from `start`, in 2048-byte blocks.
Digest DigestRange(platform::File& file, std::int64_t start, std::int64_t length);

std::string DigestHex(const Digest& digest);

// The start-up debug line: whether the block is there.
std::string DescribeIntegrityBlock(const BlockLookup& lookup);

// The signature a block carries, judged against `keys`.
struct SignatureInfo {
    bool present = false; // a format 3 block
    Digest fingerprint{}; // of the signing key (platform::KeyFingerprint)
    bool verifies = false;
    bool known = false;   // the key is one of `keys`
};
SignatureInfo ReadSignature(const BlockLookup& lookup, VendorKeys keys);
// "Signature    = ..." for --inspect, the run record and debug start-up.
std::string DescribeSignature(const SignatureInfo& signature, bool have_keys);

// The expected digests of an expanded text, kSendBlockSize bytes each.
class UploadBlocks {
public:
    explicit UploadBlocks(std::vector<Digest> digests) : digests_(std::move(digests)) {}
    // Whether block `index` (0-based) of a send is the one expanded; `last`
    // tells that the block ends the file, which must be where the text ended.
    bool Matches(std::uint32_t index, const std::uint8_t* data, std::size_t size, bool last) const;
    std::size_t Count() const { return digests_.size(); }

private:
    std::vector<Digest> digests_;
};

struct Expansion {
    int code = 0;               // 0, kIntegrityNotAnArchive or kIntegrityNotIntelHex
    std::string fault;          // what was wrong, for diagnostics
    Digest archive{};           // of the archive's bytes as read
    std::int64_t size = 0;      // bytes expanded
    std::vector<Digest> blocks; // when asked for
};

// Reads the archive of `length` bytes at `start` once, expands it and checks
// what comes out: a header with the signature and a body size that fits,
// exactly the stored size expanded, valid Intel HEX. The text goes to `out`
// when given; `blocks` asks for its upload-block digests. The codec's
// damage check (EBriskLZDamaged) and its other errors become
// kIntegrityNotAnArchive; read errors of `in` propagate.
Expansion ExpandArchive(platform::File& in, std::int64_t start, std::int64_t length,
                        platform::File* out, bool blocks);

// Checks the images that the run will send (see the top of this file).
// `raw` is the record the run started with; `boot` says whether the boot
// image is checked too (the main image always is). Gives 0 or a failure
// code, and the digests of the images as they were checked.
struct FlasherCheck {
    int code = 0;
    std::string fault;
    Digest boot{};
    Digest main{};
};
// With `keys`, the signature is checked first (CheckSignature).
FlasherCheck CheckFlasher(platform::File& exe, const RawConfigRecord& raw, bool boot,
                          VendorKeys keys = {});

// For a program with `keys` (none: always 0): the flasher's block must be
// present (else kIntegrityBlockDamaged when damaged), signed by one of
// `keys` with a signature that verifies (else kIntegritySignature), and the
// record must be the one signed (else kIntegrityRecordDamaged). The images
// are held to their signed digests by CheckFlasher.
FlasherCheck CheckSignature(platform::File& exe, const RawConfigRecord& raw, VendorKeys keys);

// Whether `raw`, the last bytes of `exe`, can be the record at all. The
// program's headers say where its part of the file ends (ProgramLength);
// when the file ends before that, or what follows begins like our block
// (format 2) and the record's mark does not name that place, the file was
// cut short or lengthened and its end holds no record: kIntegrityRecordDamaged.
// Files whose program is of no format we read, bare programs and flashers
// built without a block are not judged here (code 0).
FlasherCheck CheckFlasherEnd(platform::File& exe, const RawConfigRecord& raw);

} // namespace tollander::payload
