// What a packed flasher carries, read back from its file without running it:
// the configuration record, each image's stored name, size, date and the
// SHA-256 of its expanded text, the digest block and the flasher's own
// verdict. For tollander-pack --inspect and the flashers' --version.
#pragma once

#include "payload/config_record.h"
#include "payload/integrity.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace tollander::payload {

// A file that cannot be inspected, with a message naming it and why.
class InspectError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// True when the 12 bytes at p begin a RIFF WAVE file.
bool IsRiffWave(const std::uint8_t* p);

// The record of a file that carries a payload: the record's lengths fit the
// file and a RIFF WAVE sound lies where they put it.
std::optional<ConfigRecord> DetectPayload(const std::string& path);

struct ImageInfo {
    bool present = false;
    bool archive = false;
    std::string stored_name;
    std::int32_t uncompressed_size = 0;
    std::uint32_t file_date = 0;
    std::int64_t expanded_size = 0;
    std::string sha256; // of the expanded text
};

// One image against the digest block: SHA-256 of the image as stored.
struct DigestCheck {
    bool matches = false;
    std::string stored;
    std::string actual;
};

struct IntegrityInfo {
    BlockState state = BlockState::Absent;
    std::uint32_t format = 0;
    DigestCheck boot; // only when the block is present
    DigestCheck main;
    DigestCheck record; // formats 2 and 3
    SignatureInfo signature;
    bool have_keys = false; // judged as a program with vendor keys judges it
    int code = 0;       // the flasher's own verdict: 0 or its failure code
    std::string fault;
};

struct Inspection {
    ConfigRecord record;
    ImageInfo boot;
    ImageInfo main;
    IntegrityInfo integrity;
};

// The verdict is the one a program carrying `keys` gives. Throws
// InspectError when the file cannot be opened or carries no payload.
Inspection InspectFile(const std::string& path, VendorKeys keys = {});

} // namespace tollander::payload
