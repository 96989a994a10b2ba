// Flashers damaged on purpose, and what tollander-pack --inspect says of them.
#pragma once

#include <algorithm>
#include <fstream>
#include <string>

#include "payload/config_record.h"
#include "payload/integrity.h"
#include "payload/payload.h"
#include "tests/e2e/fixture.h"

namespace tollander::e2e {

enum class Damage { None, MainByte, BootByte, NoBlock };

// A copy of `flasher` damaged as asked; its path.
inline std::string Damaged(const std::string& flasher, Damage damage) {
    std::string bytes = ReadFile(flasher);
    payload::RawConfigRecord raw{};
    std::copy(bytes.end() - static_cast<std::ptrdiff_t>(raw.size()), bytes.end(), raw.begin());
    const auto record = payload::ParseConfigRecord(raw);
    const auto at = payload::ComputeLayout(static_cast<std::int64_t>(bytes.size()),
                                           record.BootLength, record.MainLength);
    switch (damage) {
    case Damage::None:
        break;
    case Damage::MainByte:
        bytes[static_cast<std::size_t>(at.main_start + record.MainLength / 2)] ^= 0x01;
        break;
    case Damage::BootByte:
        bytes[static_cast<std::size_t>(at.boot_start + record.BootLength / 2)] ^= 0x01;
        break;
    case Damage::NoBlock: // as packed by a tool that writes no digests
        bytes.erase(static_cast<std::size_t>(at.sound_start) - payload::kIntegrityBlockSize,
                    payload::kIntegrityBlockSize);
        break;
    }
    const std::string path = flasher + "-" + std::to_string(static_cast<int>(damage));
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
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
