// The ways a signed flasher can lose its vendor's signature, each with the
// failure code a program built with the vendor's key gives and the one a
// program built without keys gives (0: it flashes). Shared by the unit table
// (Linux and Wine) and the one against the virtual modem.
#pragma once

#include "payload/config_record.h"
#include "payload/integrity.h"
#include "payload/payload.h"
#include "platform/crypto/crypto.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tollander::payload {

struct SignatureCase {
    const char* what;
    std::vector<std::uint8_t> file;
    int with_keys;
    int without_keys;
};

namespace signature_cases {

using Bytes = std::vector<std::uint8_t>;

inline RawConfigRecord RecordOf(const Bytes& f) {
    RawConfigRecord raw{};
    std::copy(f.end() - static_cast<std::ptrdiff_t>(raw.size()), f.end(), raw.begin());
    return raw;
}

inline PayloadLayout LayoutOf(const Bytes& f) {
    const ConfigRecord r = ParseConfigRecord(RecordOf(f));
    return ComputeLayout(static_cast<std::int64_t>(f.size()), r.BootLength, r.MainLength);
}

// `f` with its block rewritten in place after `change`; the signature stays
// as it was unless `change` makes a new one.
inline Bytes Rewritten(Bytes f, const std::function<void(IntegrityBlock&, const Bytes&)>& change) {
    const std::size_t at = RecordMark(RecordOf(f)).value_or(0);
    BlockLookup lookup = DecodeIntegrityBlock(f.data() + at, f.size() - at);
    change(lookup.block, f);
    const auto bytes = EncodeIntegrityBlock(lookup.block);
    std::copy(bytes.begin(), bytes.end(), f.begin() + static_cast<std::ptrdiff_t>(at));
    return f;
}

} // namespace signature_cases

// `signed_file` is signed with the vendor's key, `unsigned_file` the same
// flasher packed without signing; `other` is another vendor's key.
inline std::vector<SignatureCase> SignatureCases(const std::vector<std::uint8_t>& signed_file,
                                                 const std::vector<std::uint8_t>& unsigned_file,
                                                 const platform::SigningKey& other) {
    using namespace signature_cases;
    const PayloadLayout at = LayoutOf(signed_file);
    const ConfigRecord record = ParseConfigRecord(RecordOf(signed_file));
    // The main image's stored date changed: still an archive of valid Intel
    // HEX, so a flasher whose digest is made again passes every check but
    // the signature.
    Bytes image = signed_file;
    image[static_cast<std::size_t>(at.main_start) + 21] ^= 0x01;
    image = Rewritten(image, [&](IntegrityBlock& b, const Bytes& f) {
        b.main = DigestOf(f.data() + at.main_start, static_cast<std::size_t>(record.MainLength));
    });
    // One country more in the record, its digest made again.
    Bytes country = signed_file;
    country[country.size() - kConfigRecordSize + 143 + 20] = 1;
    country = Rewritten(country, [](IntegrityBlock& b, const Bytes& f) {
        b.record = DigestOf(f.data() + f.size() - kConfigRecordSize, kConfigRecordSize);
    });
    // The signature's last 32 bytes gone from the file.
    Bytes cut = signed_file;
    cut.erase(cut.begin() + at.sound_start - 36, cut.begin() + at.sound_start - 4);
    return {
        {"intact", signed_file, 0, 0},
        {"main image changed, its digest made again", image, kIntegritySignature, 0},
        {"record changed, its digest made again", country, kIntegritySignature, 0},
        {"signature cut short", cut, kIntegrityBlockDamaged, kIntegrityBlockDamaged},
        {"signature zeroed",
         Rewritten(signed_file, [](IntegrityBlock& b, const Bytes&) { b.signature.fill(0); }),
         kIntegritySignature, 0},
        {"one bit of the signature flipped",
         Rewritten(signed_file, [](IntegrityBlock& b, const Bytes&) { b.signature[40] ^= 0x10; }),
         kIntegritySignature, 0},
        {"signed by another vendor's key",
         Rewritten(signed_file,
                   [&](IntegrityBlock& b, const Bytes&) { SignIntegrityBlock(b, other); }),
         kIntegritySignature, 0},
        {"another vendor's signature under the vendor's key",
         Rewritten(signed_file,
                   [&](IntegrityBlock& b, const Bytes&) {
                       const platform::EcPublicKey vendor = b.key;
                       SignIntegrityBlock(b, other);
                       b.key = vendor;
                   }),
         kIntegritySignature, 0},
        {"unsigned", unsigned_file, kIntegritySignature, 0},
    };
}

} // namespace tollander::payload
