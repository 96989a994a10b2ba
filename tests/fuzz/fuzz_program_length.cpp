// Any bytes as the program's own file: reading its headers and judging its
// end never read outside the file, never overflow, and give no length below
// zero.
#include "payload/integrity.h"
#include "payload/program_length.h"
#include "platform/fs/files.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

using namespace tollander;

namespace {

// The file each input is written to, removed when the run ends.
struct Scratch {
    const std::string path = "/tmp/fuzz-program-" + std::to_string(::getpid());
    ~Scratch() { std::remove(path.c_str()); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Scratch scratch;
    const std::string& path = scratch.path;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return 0;
    std::fwrite(data, 1, size, out);
    std::fclose(out);

    platform::File file = platform::File::OpenRead(path);
    if (!file.Valid()) return 0;
    const auto length = payload::ProgramLength(file);
    if (length && *length < 0) __builtin_trap();
    payload::RawConfigRecord raw{};
    if (size >= raw.size()) std::copy(data + size - raw.size(), data + size, raw.begin());
    const payload::FlasherCheck end = payload::CheckFlasherEnd(file, raw);
    if (end.code != 0 && end.code != payload::kIntegrityRecordDamaged) __builtin_trap();
    return 0;
}
