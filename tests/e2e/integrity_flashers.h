// Flashers damaged on purpose, and what tollander-pack --inspect says of them.
#pragma once

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>

#include "payload/config_record.h"
#include "payload/integrity.h"
#include "payload/payload.h"
#include "tests/e2e/fixture.h"

namespace tollander::e2e {

// Where the pieces of a flasher lie, and its record.
struct Pieces {
    payload::ConfigRecord record;
    payload::PayloadLayout at;
    std::size_t record_start = 0;
    std::size_t block_start = 0; // where the packer put the digest block (its mark says)
};

inline Pieces Locate(const std::string& bytes) {
    payload::RawConfigRecord raw{};
    std::copy(bytes.end() - static_cast<std::ptrdiff_t>(raw.size()), bytes.end(), raw.begin());
    Pieces p;
    p.record = payload::ParseConfigRecord(raw);
    p.at = payload::ComputeLayout(static_cast<std::int64_t>(bytes.size()), p.record.BootLength,
                                  p.record.MainLength);
    p.record_start = bytes.size() - raw.size();
    p.block_start = payload::RecordMark(raw).value_or(0);
    return p;
}

inline void PutI32(std::string& bytes, std::size_t at, std::int32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] =
            static_cast<char>(static_cast<std::uint32_t>(value) >> (8 * i));
}

// As packed by a tool that writes no digests: no block, no mark in the record.
inline void StripBlock(std::string& bytes) {
    const Pieces p = Locate(bytes);
    bytes.erase(p.block_start, static_cast<std::size_t>(p.at.sound_start) - p.block_start);
    std::fill_n(bytes.end() - static_cast<std::ptrdiff_t>(payload::kConfigRecordSize) +
                    static_cast<std::ptrdiff_t>(payload::kRecordMarkOffset),
                13, '\0');
}

// A copy of `flasher` changed by `change`, under a name with `tag`.
inline std::string Changed(const std::string& flasher, const std::string& tag,
                           const std::function<void(std::string&, const Pieces&)>& change) {
    std::string bytes = ReadFile(flasher);
    change(bytes, Locate(bytes));
    const std::string path = flasher + "-" + tag;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

enum class Damage { None, MainByte, BootByte, NoBlock };

inline std::string Damaged(const std::string& flasher, Damage damage) {
    return Changed(
        flasher, std::to_string(static_cast<int>(damage)),
        [damage](std::string& bytes, const Pieces& p) {
            switch (damage) {
            case Damage::None:
                break;
            case Damage::MainByte:
                bytes[static_cast<std::size_t>(p.at.main_start + p.record.MainLength / 2)] ^= 0x01;
                break;
            case Damage::BootByte:
                bytes[static_cast<std::size_t>(p.at.boot_start + p.record.BootLength / 2)] ^= 0x01;
                break;
            case Damage::NoBlock:
                StripBlock(bytes);
                break;
            }
        });
}

inline std::string Inspect(const std::string& path) {
    const ChildResult run = RunProgram({BinDir() + "/tollander-pack", "--inspect", path}, "", 60s);
    EXPECT_EQ(run.status, 0) << run.out;
    return run.out;
}

inline bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

inline std::string FirmwareText(const char* name) {
    return ReadFile(FirmwareDir() + "/" + name);
}

} // namespace tollander::e2e
