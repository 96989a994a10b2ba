#include "payload/inspection.h"

#include "payload/archive.h"
#include "payload/lzss.h"
#include "payload/payload.h"
#include "platform/crypto/crypto.h"
#include "platform/fs/files.h"
#include "platform/fs/io_error.h"

#include <algorithm>
#include <span>

namespace tollander::payload {

namespace {

using platform::File;

// Reads `limit` bytes of the open file as a coder source.
class FileSlice final : public BlockSource {
public:
    FileSlice(File& file, std::int64_t limit) : file_(file), left_(limit) {}
    std::size_t ReadBlock(std::uint8_t* buffer, std::size_t capacity) override {
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(left_, static_cast<std::int64_t>(capacity)));
        if (want == 0) return 0;
        const std::size_t got = file_.Read(buffer, want);
        left_ -= static_cast<std::int64_t>(got);
        return got;
    }

private:
    File& file_;
    std::int64_t left_;
};

class HashSink final : public BlockSink {
public:
    void WriteBlock(const std::uint8_t* data, std::size_t size) override {
        sha.Update(data, size);
        count += static_cast<std::int64_t>(size);
    }
    platform::Sha256 sha;
    std::int64_t count = 0;
};

ImageInfo InspectImage(File& file, std::int64_t start, std::int32_t length) {
    ImageInfo info;
    if (length <= 0) return info;
    info.present = true;
    std::uint8_t header[kHeaderSize] = {};
    file.Seek(start);
    const std::size_t got = length >= static_cast<std::int32_t>(kHeaderSize)
                                ? file.Read(header, kHeaderSize)
                                : 0;
    const auto decoded = DecodeHeader(std::span<const std::uint8_t>(header, got));
    if (!decoded) return info;
    info.archive = true;
    info.stored_name = decoded->file_name;
    info.uncompressed_size = decoded->uncompressed_size;
    info.file_date = decoded->file_date;
    FileSlice body(file, length - static_cast<std::int64_t>(kHeaderSize));
    HashSink sink;
    LzssCoder coder;
    coder.Decode(body, sink);
    info.expanded_size = sink.count;
    info.sha256 = sink.sha.FinishHex();
    return info;
}

} // namespace

bool IsRiffWave(const std::uint8_t* p) {
    return std::equal(p, p + 4, "RIFF") && std::equal(p + 8, p + 12, "WAVE");
}

std::optional<ConfigRecord> DetectPayload(const std::string& path) {
    File in = File::OpenRead(path);
    if (!in.Valid()) return std::nullopt;
    const std::int64_t size = in.Size();
    if (size < static_cast<std::int64_t>(kConfigRecordSize)) return std::nullopt;
    RawConfigRecord raw{};
    in.Seek(size - static_cast<std::int64_t>(raw.size()));
    in.ReadExact(raw.data(), raw.size());
    const ConfigRecord record = ParseConfigRecord(raw);
    if (record.BootLength < 0 || record.MainLength < 0) return std::nullopt;
    const auto layout = ComputeLayout(size, record.BootLength, record.MainLength);
    if (layout.sound_start < 0) return std::nullopt;
    std::uint8_t head[12];
    in.Seek(layout.sound_start);
    in.ReadExact(head, sizeof head);
    if (!IsRiffWave(head)) return std::nullopt;
    return record;
}

Inspection InspectFile(const std::string& path, VendorKeys keys) {
    File in = File::OpenRead(path);
    if (!in.Valid())
        throw InspectError(std::string("cannot open ") +
                           platform::EInOutError::FromErrno(in.Error(), path).what());
    const auto record = DetectPayload(path);
    if (!record) {
        // A flasher that lost its end (or gained one) shows no payload either:
        // say which it is, as the flasher itself would.
        RawConfigRecord raw{};
        if (in.SeekFromEnd(-static_cast<std::int64_t>(raw.size()))) {
            in.ReadExact(raw.data(), raw.size());
            const FlasherCheck end = CheckFlasherEnd(in, raw);
            if (end.code != 0)
                throw InspectError(path + ": a damaged flasher (" + end.fault +
                                   "); it refuses to flash, failure code " +
                                   std::to_string(end.code));
        }
        throw InspectError(path + ": no sound payload found; not a packed flasher");
    }
    Inspection result;
    result.record = *record;
    const auto layout = ComputeLayout(in.Size(), record->BootLength, record->MainLength);
    result.boot = InspectImage(in, layout.boot_start, record->BootLength);
    result.main = InspectImage(in, layout.main_start, record->MainLength);
    RawConfigRecord raw{};
    in.Seek(in.Size() - static_cast<std::int64_t>(raw.size()));
    in.ReadExact(raw.data(), raw.size());
    const BlockLookup lookup = FindIntegrityBlock(in, layout.sound_start, raw);
    result.integrity.state = lookup.state;
    result.integrity.format = lookup.block.format;
    if (lookup.state == BlockState::Present) {
        const auto check = [&](DigestCheck& c, const Digest& stored, std::int64_t start,
                               std::int32_t length) {
            c.stored = DigestHex(stored);
            c.actual = DigestHex(DigestRange(in, start, length));
            c.matches = c.stored == c.actual;
        };
        check(result.integrity.boot, lookup.block.boot, layout.boot_start, record->BootLength);
        check(result.integrity.main, lookup.block.main, layout.main_start, record->MainLength);
        if (lookup.block.format != kIntegrityFormat1) {
            DigestCheck& c = result.integrity.record;
            c.stored = DigestHex(lookup.block.record);
            c.actual = DigestHex(DigestOf(raw.data(), raw.size()));
            c.matches = c.stored == c.actual;
        }
    }
    result.integrity.signature = ReadSignature(lookup, keys);
    result.integrity.have_keys = !keys.empty();
    // What the flasher itself will decide, boot image included when there is one.
    FlasherCheck verdict = CheckFlasherEnd(in, raw);
    if (verdict.code == 0) verdict = CheckFlasher(in, raw, record->BootLength > 0, keys);
    result.integrity.code = verdict.code;
    result.integrity.fault = verdict.fault;
    return result;
}

} // namespace tollander::payload
