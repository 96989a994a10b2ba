#include "payload/integrity.h"

#include "payload/archive.h"
#include "payload/intel_hex.h"
#include "payload/lzss.h"
#include "payload/payload.h"
#include "payload/program_length.h"
#include "platform/crypto/crypto.h"
#include "platform/little_endian.h"

#include <algorithm>
#include <cstring>

namespace tollander::payload {

namespace {

constexpr std::size_t kLengthField = 4;
constexpr std::size_t kMagicSize = sizeof kIntegrityMagic;
// Anything longer is not our block but program bytes that happen to look
// like a length.
constexpr std::uint32_t kLongestBlock = 65536;

using platform::GetLE32;
using platform::PutLE32;

bool MagicAt(platform::File& file, std::int64_t at) {
    if (at < 0 || at + static_cast<std::int64_t>(kMagicSize) > file.Size()) return false;
    char magic[kMagicSize];
    file.Seek(at);
    if (file.Read(magic, sizeof magic) != sizeof magic) return false;
    return std::memcmp(magic, kIntegrityMagic, sizeof magic) == 0;
}

std::size_t BlockSizeOf(std::uint32_t format) {
    if (format == kIntegrityFormatSigned) return kIntegrityBlockSizeSigned;
    if (format == kIntegrityFormat) return kIntegrityBlockSize;
    if (format == kIntegrityFormat1) return kIntegrityBlockSize1;
    return 0;
}

// The block that starts at `start` (its magic already seen there).
BlockLookup ReadBlockAt(platform::File& file, std::int64_t start) {
    std::uint8_t raw[kIntegrityBlockSizeSigned] = {};
    file.Seek(start);
    return DecodeIntegrityBlock(raw, file.Read(raw, sizeof raw));
}

// Reads `limit` bytes of an open file into the coder, each one digested.
class DigestingSource final : public BlockSource {
public:
    DigestingSource(platform::File& file, std::int64_t limit) : file_(file), left_(limit) {}
    std::size_t ReadBlock(std::uint8_t* buffer, std::size_t capacity) override {
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(left_, static_cast<std::int64_t>(capacity)));
        if (want == 0) return 0;
        const std::size_t got = file_.Read(buffer, want);
        if (got == 0) {
            left_ = 0; // the file is shorter than its range: the expansion stops there
            return 0;
        }
        sha.Update(buffer, got);
        left_ -= static_cast<std::int64_t>(got);
        return got;
    }
    // The rest of the range, digested without expanding it.
    void Drain() {
        std::uint8_t block[2048];
        while (ReadBlock(block, sizeof block) > 0) {
        }
    }
    platform::Sha256 sha;

private:
    platform::File& file_;
    std::int64_t left_;
};

struct StopExpanding {};

// Takes the expanded text (the codec holds it to the stored size): checks it
// as Intel HEX, digests its upload blocks and writes it out when asked.
class CheckingSink final : public BlockSink {
public:
    CheckingSink(platform::File* out, bool blocks) : out_(out), blocks_(blocks) {}

    void WriteBlock(const std::uint8_t* data, std::size_t size) override {
        count_ += static_cast<std::int64_t>(size);
        if (!hex_.Feed(data, size)) throw StopExpanding{};
        if (out_) out_->Write(data, size);
        if (!blocks_) return;
        while (size > 0) {
            const std::size_t n = std::min(size, kSendBlockSize - in_block_);
            block_sha_.Update(data, n);
            in_block_ += n;
            data += n;
            size -= n;
            if (in_block_ == kSendBlockSize) EndBlock();
        }
    }
    void EndBlock() {
        digests.push_back(block_sha_.Finish());
        block_sha_ = platform::Sha256();
        in_block_ = 0;
    }
    std::vector<Digest> Finish() {
        if (blocks_ && in_block_ > 0) EndBlock();
        return std::move(digests);
    }

    IntelHexValidator hex_;
    std::int64_t count_ = 0;
    std::vector<Digest> digests;

private:
    platform::File* out_;
    bool blocks_;
    platform::Sha256 block_sha_;
    std::size_t in_block_ = 0;
};

} // namespace

BlockLookup DecodeIntegrityBlock(const std::uint8_t* raw, std::size_t got) {
    BlockLookup found;
    found.state = BlockState::Damaged;
    if (got < 12) return found;
    const std::uint32_t format = GetLE32(raw + 8);
    const std::size_t size = BlockSizeOf(format);
    found.block.format = format;
    if (size == 0 || got < size) return found;
    found.length = GetLE32(raw + size - kLengthField);
    if (found.length != size) return found;
    std::copy(raw + 12, raw + 44, found.block.boot.begin());
    std::copy(raw + 44, raw + 76, found.block.main.begin());
    if (format != kIntegrityFormat1) std::copy(raw + 76, raw + 108, found.block.record.begin());
    if (format == kIntegrityFormatSigned) {
        std::copy(raw + 108, raw + 172, found.block.key.begin());
        std::copy(raw + 172, raw + 236, found.block.signature.begin());
    }
    found.state = BlockState::Present;
    return found;
}

std::vector<std::uint8_t> EncodeIntegrityBlock(const IntegrityBlock& block) {
    const bool sign = block.format == kIntegrityFormatSigned;
    std::vector<std::uint8_t> out(sign ? kIntegrityBlockSizeSigned : kIntegrityBlockSize);
    std::memcpy(out.data(), kIntegrityMagic, kMagicSize);
    PutLE32(out.data() + 8, sign ? kIntegrityFormatSigned : kIntegrityFormat);
    std::copy(block.boot.begin(), block.boot.end(), out.begin() + 12);
    std::copy(block.main.begin(), block.main.end(), out.begin() + 44);
    std::copy(block.record.begin(), block.record.end(), out.begin() + 76);
    if (sign) {
        std::copy(block.key.begin(), block.key.end(), out.begin() + 108);
        std::copy(block.signature.begin(), block.signature.end(), out.begin() + 172);
    }
    PutLE32(out.data() + out.size() - kLengthField, static_cast<std::uint32_t>(out.size()));
    return out;
}

void SignIntegrityBlock(IntegrityBlock& block, const platform::SigningKey& key) {
    block.format = kIntegrityFormatSigned;
    block.key = key.PublicKey();
    const auto bytes = EncodeIntegrityBlock(block);
    block.signature = key.Sign(bytes.data(), kSignedPartSize);
}

void MarkRecord(RawConfigRecord& raw, std::uint32_t block_offset, std::uint32_t format) {
    std::uint8_t* mark = raw.data() + kRecordMarkOffset;
    std::fill(mark, mark + 13, std::uint8_t{0});
    std::memcpy(mark, kRecordMark, sizeof kRecordMark);
    mark[4] = static_cast<std::uint8_t>(format);
    PutLE32(mark + 5, block_offset);
}

std::optional<std::uint32_t> RecordMark(const RawConfigRecord& raw) {
    const std::uint8_t* mark = raw.data() + kRecordMarkOffset;
    if (std::memcmp(mark, kRecordMark, sizeof kRecordMark) != 0) return std::nullopt;
    return GetLE32(mark + 5);
}

Digest DigestOf(const void* data, std::size_t size) {
    return platform::Sha256Of(data, size);
}

BlockLookup FindIntegrityBlock(platform::File& file, std::int64_t sound_start,
                               const RawConfigRecord& raw) {
    // A flasher of ours says where its block is: whatever lies there must be
    // the block, or the file is damaged.
    if (const auto mark = RecordMark(raw)) {
        if (!MagicAt(file, *mark)) {
            BlockLookup damaged;
            damaged.state = BlockState::Damaged;
            return damaged;
        }
        return ReadBlockAt(file, *mark);
    }

    BlockLookup found;
    if (sound_start < static_cast<std::int64_t>(kMagicSize + kLengthField) ||
        sound_start > file.Size())
        return found;
    std::uint8_t length_bytes[kLengthField];
    file.Seek(sound_start - static_cast<std::int64_t>(kLengthField));
    file.ReadExact(length_bytes, sizeof length_bytes);
    const std::uint32_t length = GetLE32(length_bytes);
    if (length >= kMagicSize + kLengthField && length <= kLongestBlock && length <= sound_start &&
        MagicAt(file, sound_start - length))
        return ReadBlockAt(file, sound_start - length);
    // A damaged length field must not hide a block of a size we write: look
    // where one would begin, too.
    for (std::size_t size : {kIntegrityBlockSizeSigned, kIntegrityBlockSize, kIntegrityBlockSize1}) {
        const std::int64_t start = sound_start - static_cast<std::int64_t>(size);
        if (MagicAt(file, start)) {
            found = ReadBlockAt(file, start);
            found.state = BlockState::Damaged;
            found.length = length;
            return found;
        }
    }
    return found;
}

Digest DigestRange(platform::File& file, std::int64_t start, std::int64_t length) {
    platform::Sha256 sha;
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
    return platform::HexOf(digest.data(), digest.size());
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
    return "Integrity    = no digests, images checked as Intel HEX only";
}

SignatureInfo ReadSignature(const BlockLookup& lookup, VendorKeys keys) {
    SignatureInfo info;
    if (lookup.state != BlockState::Present || lookup.block.format != kIntegrityFormatSigned)
        return info;
    const IntegrityBlock& block = lookup.block;
    info.present = true;
    info.fingerprint = platform::KeyFingerprint(block.key);
    info.known = std::find(keys.begin(), keys.end(), block.key) != keys.end();
    const auto bytes = EncodeIntegrityBlock(block);
    info.verifies = platform::VerifyP256(block.key, bytes.data(), kSignedPartSize, block.signature);
    return info;
}

std::string DescribeSignature(const SignatureInfo& signature, bool have_keys) {
    std::string line = "Signature    = ";
    if (!signature.present)
        return line + (have_keys ? "none: this program refuses unsigned flashers"
                                 : "none");
    line += "key SHA256:" + DigestHex(signature.fingerprint);
    line += signature.verifies ? ", verifies" : ", DOES NOT VERIFY";
    if (have_keys)
        line += signature.known ? ", a vendor key this program carries"
                                : ", not a vendor key this program carries";
    return line;
}

bool UploadBlocks::Matches(std::uint32_t index, const std::uint8_t* data, std::size_t size,
                           bool last) const {
    if (index >= digests_.size() || last != (index + 1 == digests_.size())) return false;
    return DigestOf(data, size) == digests_[index];
}

Expansion ExpandArchive(platform::File& in, std::int64_t start, std::int64_t length,
                        platform::File* out, bool blocks) {
    Expansion result;
    in.Seek(start);
    DigestingSource source(in, length);
    std::uint8_t head[kHeaderSize];
    const std::size_t got = source.ReadBlock(head, sizeof head);
    const auto header = got == sizeof head ? DecodeHeader(head) : std::nullopt;
    auto fail = [&](int code, std::string fault) {
        if (result.code == 0) {
            result.code = code;
            result.fault = std::move(fault);
        }
    };
    if (!header) {
        fail(kIntegrityNotAnArchive, "not a compressed file");
    } else {
        // The archive tool's damage check, so that both refuse the same
        // files: a cut, padded or over-long archive is no image.
        CheckingSink sink(out, blocks);
        try {
            LZCheckStoredSizes(*header, length, "image");
            LzssCoder coder;
            LZExpandBody(coder, *header, source, sink, "image");
            if (const auto fault = sink.hex_.Finish()) fail(kIntegrityNotIntelHex, *fault);
        } catch (const StopExpanding&) {
            fail(kIntegrityNotIntelHex, *sink.hex_.Fault());
        } catch (const EBriskLZDamaged& e) {
            fail(kIntegrityNotAnArchive, "truncated or damaged archive (" + e.Detail() + ")");
        } catch (const platform::EInOutError&) {
            throw;
        } catch (const std::exception& e) {
            fail(kIntegrityNotAnArchive, e.what());
        }
        result.size = sink.count_;
        result.blocks = sink.Finish();
    }
    source.Drain();
    result.archive = source.sha.Finish();
    return result;
}

FlasherCheck CheckSignature(platform::File& exe, const RawConfigRecord& raw, VendorKeys keys) {
    FlasherCheck check;
    if (keys.empty()) return check;
    auto fail = [&](int code, std::string fault) {
        check.code = code;
        check.fault = std::move(fault);
        return check;
    };
    const std::int64_t size = exe.Size();
    const ConfigRecord record = ParseConfigRecord(raw);
    const std::int64_t sound_start =
        record.BootLength < 0 || record.MainLength < 0
            ? -1
            : ComputeLayout(size, record.BootLength, record.MainLength).sound_start;
    const BlockLookup lookup = FindIntegrityBlock(exe, sound_start, raw);
    if (lookup.state == BlockState::Damaged)
        return fail(kIntegrityBlockDamaged, "the digest block is damaged");
    const SignatureInfo signature = ReadSignature(lookup, keys);
    if (!signature.present) return fail(kIntegritySignature, "the flasher is not signed");
    if (!signature.known)
        return fail(kIntegritySignature, "signed with a key this program does not carry (SHA256:" +
                                             DigestHex(signature.fingerprint) + ")");
    if (!signature.verifies) return fail(kIntegritySignature, "the signature does not verify");
    if (DigestOf(raw.data(), raw.size()) != lookup.block.record)
        return fail(kIntegrityRecordDamaged, "the record is not the one signed");
    return check;
}

FlasherCheck CheckFlasher(platform::File& exe, const RawConfigRecord& raw, bool boot,
                          VendorKeys keys) {
    FlasherCheck check;
    auto fail = [&](int code, std::string fault) {
        check.code = code;
        check.fault = std::move(fault);
        return check;
    };
    const std::int64_t size = exe.Size();
    const auto record_size = static_cast<std::int64_t>(kConfigRecordSize);
    if (size < record_size) return fail(kIntegrityRecordDamaged, "shorter than the record");
    RawConfigRecord now{};
    exe.Seek(size - record_size);
    exe.ReadExact(now.data(), now.size());
    if (now != raw) return fail(kIntegrityRecordDamaged, "the record changed since start-up");

    const ConfigRecord record = ParseConfigRecord(raw);
    if (record.BootLength < 0 || record.MainLength < 0)
        return fail(kIntegrityRecordDamaged, "a negative image length");
    const PayloadLayout at = ComputeLayout(size, record.BootLength, record.MainLength);
    if (at.sound_start < 0) return fail(kIntegrityRecordDamaged, "the lengths do not fit the file");
    if (const FlasherCheck signature = CheckSignature(exe, raw, keys); signature.code != 0)
        return signature;

    const BlockLookup lookup = FindIntegrityBlock(exe, at.sound_start, raw);
    if (lookup.state == BlockState::Damaged)
        return fail(kIntegrityBlockDamaged, "the digest block is damaged");
    const bool digests = lookup.state == BlockState::Present;
    if (digests && lookup.block.format != kIntegrityFormat1 &&
        DigestOf(raw.data(), raw.size()) != lookup.block.record)
        return fail(kIntegrityRecordDamaged, "the record does not match its digest");

    struct Piece {
        bool wanted;
        std::int64_t start, length;
        const Digest& stored;
        Digest& checked;
        const char* name;
    };
    const Piece pieces[] = {
        {boot, at.boot_start, record.BootLength, lookup.block.boot, check.boot, "boot image: "},
        {true, at.main_start, record.MainLength, lookup.block.main, check.main, "main image: "},
    };
    for (const Piece& p : pieces) {
        if (!p.wanted) continue;
        const Expansion e = ExpandArchive(exe, p.start, p.length, nullptr, false);
        if (digests && e.archive != p.stored)
            return fail(kIntegrityMismatch, std::string(p.name) + "does not match its digest");
        if (e.code != 0) return fail(e.code, p.name + e.fault);
        p.checked = e.archive;
    }
    return check;
}

FlasherCheck CheckFlasherEnd(platform::File& exe, const RawConfigRecord& raw) {
    FlasherCheck check;
    const auto program = ProgramLength(exe);
    if (!program) return check;
    const std::int64_t size = exe.Size();
    if (size < *program) {
        check.code = kIntegrityRecordDamaged;
        check.fault = "the file ends inside the program";
        return check;
    }
    // As much of the block's magic and format as the file still holds.
    std::uint8_t head[kMagicSize + 4] = {};
    const auto got = static_cast<std::size_t>(
        std::min<std::int64_t>(size - *program, static_cast<std::int64_t>(sizeof head)));
    exe.Seek(*program);
    exe.ReadExact(head, got);
    const bool ours = got > 0 && std::memcmp(head, kIntegrityMagic, std::min(got, kMagicSize)) == 0;
    // Flashers packed before the mark carry a format 1 block and no mark.
    const bool marked = !(got == sizeof head && GetLE32(head + kMagicSize) == kIntegrityFormat1);
    if (ours && marked && RecordMark(raw) != static_cast<std::uint32_t>(*program)) {
        check.code = kIntegrityRecordDamaged;
        check.fault = "the file was cut short or lengthened: its end holds no record";
    }
    return check;
}

} // namespace tollander::payload
