#include "tools/pack/packer.h"

#include "payload/archive.h"
#include "payload/integrity.h"
#include "payload/intel_hex.h"
#include "payload/lzss.h"
#include "payload/payload.h"
#include "payload/program_length.h"
#include "platform/crypto/crypto.h"
#include "platform/fs/dos_time.h"
#include "platform/fs/files.h"
#include "platform/fs/io_error.h"
#include "platform/fs/tool_files.h"
#include "tools/mkfirmware/sample_firmware.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <ostream>
#include <utility>

namespace tollander::tools {

namespace {

using payload::IsRiffWave;
using platform::File;

constexpr std::size_t kBlock = 65536;

void CheckLength(const std::string& what, const std::string& value, std::size_t capacity) {
    if (value.size() > capacity)
        throw PackError(what + " \"" + value + "\" is longer than its field (" +
                        std::to_string(value.size()) + " > " + std::to_string(capacity) +
                        " characters)");
}

std::vector<std::uint8_t> ReadSound(const std::string& path) {
    File in = File::OpenRead(path);
    if (!in.Valid())
        throw PackError(path + ": cannot open the sound: " +
                        platform::EInOutError::FromErrno(in.Error(), path).what());
    if (in.Size() != payload::kSoundLength)
        throw PackError(path + ": the sound must be a " + std::to_string(payload::kSoundLength) +
                        "-byte RIFF WAVE file, this one has " + std::to_string(in.Size()) +
                        " bytes");
    std::vector<std::uint8_t> wav(static_cast<std::size_t>(payload::kSoundLength));
    in.ReadExact(wav.data(), wav.size());
    return wav;
}

// The bytes copied.
std::int64_t CopyInto(File& out, const std::string& path) {
    File in = File::OpenRead(path);
    if (!in.Valid()) throw platform::EInOutError::FromErrno(in.Error(), path);
    std::vector<std::uint8_t> block(kBlock);
    std::int64_t copied = 0;
    for (;;) {
        const std::size_t n = in.Read(block.data(), block.size());
        if (n == 0) break;
        out.Write(block.data(), n);
        copied += static_cast<std::int64_t>(n);
    }
    return copied;
}

struct ScratchDir {
    std::string path = platform::MakeScratchDir("tollander-pack");
    ~ScratchDir() { platform::RemoveTree(path); }
};

std::int32_t CompressImage(const std::string& hex, const std::string& archive) {
    payload::LZCompressFile(hex, archive);
    const std::int64_t size = platform::FileSize(archive);
    if (size < 0 || size > INT32_MAX) throw PackError(hex + ": the compressed image is too large");
    return static_cast<std::int32_t>(size);
}

// SHA-256 of a whole file; of no bytes for an empty path.
payload::Digest FileDigest(const std::string& path) {
    if (path.empty()) return platform::Sha256Of(nullptr, 0);
    File in = File::OpenRead(path);
    if (!in.Valid()) throw platform::EInOutError::FromErrno(in.Error(), path);
    return payload::DigestRange(in, 0, in.Size());
}

} // namespace

std::optional<std::string> CheckIntelHex(const std::string& path) {
    return payload::CheckIntelHexFile(path);
}

std::uint8_t ParseLanguage(const std::string& code) {
    static constexpr const char* kCodes[] = {"en", "de", "fr", "it", "es"};
    for (std::uint8_t i = 0; i < 5; ++i)
        if (code == kCodes[i]) return i;
    throw PackError("unknown language \"" + code + "\" (use en, de, fr, it or es)");
}

std::array<bool, payload::kCountryCount> ParseCountries(const std::string& list) {
    std::array<bool, payload::kCountryCount> flags{};
    std::size_t from = 0;
    while (from <= list.size()) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        std::string item = list.substr(from, comma - from);
        from = comma + 1;
        while (!item.empty() && std::isspace(static_cast<unsigned char>(item.front())))
            item.erase(item.begin());
        while (!item.empty() && std::isspace(static_cast<unsigned char>(item.back())))
            item.pop_back();
        if (item.empty()) {
            if (list.empty()) break;
            throw PackError("empty entry in the country list \"" + list + "\"");
        }
        int code = -1;
        if (std::all_of(item.begin(), item.end(),
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
            if (item.size() <= 2) code = std::stoi(item);
        } else if (const auto named = payload::CountryCode(item)) {
            code = *named;
        }
        if (code < 0 || code >= payload::kCountryCount)
            throw PackError("unknown country \"" + item + "\"");
        flags[static_cast<std::size_t>(code)] = true;
    }
    return flags;
}

void Pack(const PackOptions& o) {
    // Every input is checked before anything is written.
    if (o.output.empty()) throw PackError("no output file given (-o OUT)");
    if (o.main_hex.empty()) throw PackError("no main-code image given (--main MAIN.HEX)");
    // OUT is replaced whole: naming an input there would lose that input.
    const std::pair<const char*, const std::string*> inputs[] = {{"--program", &o.program},
                                                                 {"--boot", &o.boot_hex},
                                                                 {"--main", &o.main_hex},
                                                                 {"--sound", &o.sound}};
    for (const auto& [option, path] : inputs) {
        if (!path->empty() && platform::SameFile(o.output, *path))
            throw PackError(o.output + " and " + option + " " + *path +
                            " are the same file; write the flasher to another file");
    }
    for (const std::string* hex : {&o.main_hex, &o.boot_hex}) {
        if (hex->empty()) continue;
        std::optional<std::string> fault;
        try {
            fault = CheckIntelHex(*hex);
        } catch (const platform::EInOutError& e) {
            throw PackError(e.what());
        }
        if (fault) throw PackError(*hex + ": not a valid Intel HEX text: " + *fault);
    }
    std::vector<std::uint8_t> sound;
    if (o.sound.empty()) {
        sound = MakeAlertWav();
    } else {
        sound = ReadSound(o.sound);
        if (!IsRiffWave(sound.data())) throw PackError(o.sound + ": not a RIFF WAVE file");
    }
    CheckLength("boot model", o.boot_model, payload::kModelCapacity);
    CheckLength("main model", o.main_model, payload::kModelCapacity);
    CheckLength("built-for text", o.built_for, payload::kBuiltForCapacity);
    CheckLength("family name", o.family, payload::kAti3Kept);
    if (o.language > 4) throw PackError("unknown language code " + std::to_string(o.language));
    if (o.program.empty()) throw PackError("no program given (--program BIN)");
    {
        File program = File::OpenRead(o.program);
        if (!program.Valid())
            throw PackError(o.program + ": cannot open the program: " +
                            platform::EInOutError::FromErrno(program.Error(), o.program).what());
        // A flasher tells a cut or lengthened copy of itself by where its
        // program's headers end: that must be where the payload begins.
        const std::int64_t size = program.Size();
        if (const auto length = payload::ProgramLength(program); length && *length != size)
            throw PackError(o.program + ": its headers give a program of " +
                            std::to_string(*length) + " bytes, the file has " +
                            std::to_string(size) + "; give the program as it was built");
    }
    if (DetectPayload(o.program))
        throw PackError(o.program + ": the program already carries a payload");
    std::optional<platform::SigningKey> signer;
    if (!o.sign_key.empty()) {
        try {
            const char* phrase = std::getenv("TOLLANDER_SIGN_PASS");
            signer.emplace(platform::SigningKey::Load(
                o.sign_key, phrase ? std::optional<std::string>(phrase) : std::nullopt));
        } catch (const platform::SigningKeyError& e) {
            throw PackError(std::string("cannot sign: ") + e.what());
        }
    }

    try {
        ScratchDir scratch;
        payload::ConfigRecord record;
        const std::string boot_archive = scratch.path + "/boot.lz";
        const std::string main_archive = scratch.path + "/main.lz";
        if (!o.boot_hex.empty()) record.BootLength = CompressImage(o.boot_hex, boot_archive);
        record.MainLength = CompressImage(o.main_hex, main_archive);
        record.BootModel = o.boot_model;
        record.MainModel = o.main_model;
        record.IgnoreModel = o.ignore_model;
        record.BuiltFor = o.built_for;
        record.Ati3Response = o.family;
        record.Language = o.language;
        record.CountryFlags = o.countries;
        payload::RawConfigRecord raw = payload::EncodeConfigRecord(record);
        // The block follows the program; the record says so, and its digest
        // covers that too.
        const std::int64_t program_size = platform::FileSize(o.program);
        if (program_size < 0 || program_size > INT32_MAX)
            throw PackError(o.program + ": cannot take the program's size");
        payload::MarkRecord(raw, static_cast<std::uint32_t>(program_size),
                            signer ? payload::kIntegrityFormatSigned : payload::kIntegrityFormat);
        payload::IntegrityBlock digests;
        digests.boot = FileDigest(o.boot_hex.empty() ? "" : boot_archive);
        digests.main = FileDigest(main_archive);
        digests.record = payload::DigestOf(raw.data(), raw.size());
        if (signer) payload::SignIntegrityBlock(digests, *signer);
        const auto block = payload::EncodeIntegrityBlock(digests);

        // The pieces in file order; the record stays last, since a flasher
        // finds everything by counting back from its end. Written under a
        // fresh name of its own beside OUT, so that whatever lies there
        // (a stale file, someone else's) is never touched, and renamed over
        // OUT only when complete.
        File out = File::CreateReplacement(o.output, 0755);
        if (CopyInto(out, o.program) != program_size)
            throw PackError(o.program + ": the program changed while it was copied");
        // Still the program's part of the file: nothing counted back from
        // the end moves.
        out.Write(block.data(), block.size());
        out.Write(sound.data(), sound.size());
        if (record.BootLength > 0) CopyInto(out, boot_archive);
        CopyInto(out, main_archive);
        out.Write(raw.data(), raw.size());
        out.Commit();
    } catch (const PackError&) {
        throw;
    } catch (const std::exception& e) {
        throw PackError(std::string("writing ") + o.output + " failed: " + e.what());
    }
}

void PrintInspection(const Inspection& inspection, std::ostream& out) {
    std::vector<std::string> lines = payload::DumpConfigRecord(inspection.record);
    // The dump's last line runs the names together, as the event log has it;
    // here they stand apart, with their codes.
    lines.back() = "Countries    = " + payload::CountryList(inspection.record.CountryFlags);
    for (const std::string& line : lines)
        out << line << "\n";
    const std::pair<const char*, const ImageInfo*> images[] = {
        {"Boot image   = ", &inspection.boot}, {"Main image   = ", &inspection.main}};
    for (const auto& [label, info] : images) {
        out << label;
        if (!info->present)
            out << "none";
        else if (!info->archive)
            out << "not a compressed file";
        else
            out << info->stored_name << ", " << info->uncompressed_size << " bytes, "
                << platform::FormatDosTime(info->file_date) << ", SHA-256 " << info->sha256;
        if (info->archive && info->expanded_size != info->uncompressed_size)
            out << " (expands to " << info->expanded_size << " bytes)";
        out << "\n";
    }
    const IntegrityInfo& integrity = inspection.integrity;
    switch (integrity.state) {
    case payload::BlockState::Absent:
        out << "Integrity    = no digest block: the flasher checks only that its images "
               "expand to valid Intel HEX\n";
        break;
    case payload::BlockState::Damaged:
        out << "Integrity    = digest block damaged or of an unknown format: the flasher "
               "refuses to flash\n";
        break;
    case payload::BlockState::Present:
        out << "Integrity    = digest block, format " << integrity.format << "\n";
        break;
    }
    if (integrity.signature.present || integrity.have_keys)
        out << payload::DescribeSignature(integrity.signature, integrity.have_keys) << "\n";
    if (integrity.code == 0)
        out << "Check        = passes: the flasher will send its images\n";
    else
        out << "Check        = refused, failure code " << integrity.code << ": " << integrity.fault
            << "\n";
    if (integrity.state != payload::BlockState::Present) return;
    const std::pair<const char*, const DigestCheck*> checks[] = {
        {"Boot digest  = ", &integrity.boot},
        {"Main digest  = ", &integrity.main},
        {"Record digest= ", &integrity.record}};
    for (const auto& [label, check] : checks) {
        if (check == &integrity.record && integrity.format == payload::kIntegrityFormat1) continue;
        out << label;
        if (check->matches)
            out << "matches, SHA-256 " << check->actual << "\n";
        else
            out << "DOES NOT MATCH: stored " << check->stored << ", image " << check->actual
                << "\n";
    }
}

} // namespace tollander::tools
