// Building a flasher: the program with the alert sound, the two compressed
// HEX images and the configuration record appended, and reading back what a
// flasher carries.
#pragma once

#include "payload/config_record.h"
#include "payload/inspection.h"

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tollander::tools {

// A refusal or failure, with a message naming the input and the fault.
class PackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PackOptions {
    std::string output;
    std::string main_hex;
    std::string boot_hex;   // empty: no boot code
    std::string sound;      // empty: the built-in sample alert
    std::string program;    // the program binary to carry the payload
    std::string boot_model; // at most 8 characters
    std::string main_model; // at most 8
    bool ignore_model = false;
    std::string built_for;     // at most 50
    std::string family;        // at most 49
    std::uint8_t language = 0; // 0 English .. 4 Spanish
    std::array<bool, payload::kCountryCount> countries{};
    // The vendor's ECDSA P-256 private key (PEM) to sign with; empty: an
    // unsigned flasher. Read, never written; its pass phrase, when it is
    // encrypted, comes from TOLLANDER_SIGN_PASS.
    std::string sign_key;
};

// Empty when the file is valid Intel HEX (payload/intel_hex.h, read in
// bounded memory), else what is wrong and where; EInOutError when it cannot
// be opened or read.
std::optional<std::string> CheckIntelHex(const std::string& path);

// "en" "de" "fr" "it" "es"; throws PackError.
std::uint8_t ParseLanguage(const std::string& code);
// Comma-separated codes (0..49) or Country table names; throws PackError.
std::array<bool, payload::kCountryCount> ParseCountries(const std::string& list);

// Checks every input, then writes options.output through a fresh temporary
// name of its own beside it (mode 0755 less the umask): the program, the digest block, then the payload, the record
// marked as carrying the block. Throws PackError; on a refusal
// nothing has been written.
void Pack(const PackOptions& options);

// What a flasher carries (payload/inspection.h), under the names the tools
// and their tests use.
using payload::DetectPayload;
using payload::DigestCheck;
using payload::ImageInfo;
using payload::InspectFile;
using payload::Inspection;
using payload::IntegrityInfo;

// The report --inspect prints: the nine dump lines, one line per image, then
// whether the digest block is there and whether each image matches it, and
// the signature.
void PrintInspection(const Inspection& inspection, std::ostream& out);

} // namespace tollander::tools
