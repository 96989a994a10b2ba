// A whole file as the expander meets it: recognition, the stored name, the
// default output name and the expansion. Nothing may be written outside the
// file's own directory.
#include "payload/archive.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

using namespace tollander::payload;
namespace fs = std::filesystem;

namespace {

// A fresh directory for every input, gone again before the next: libFuzzer
// ends the process without running destructors.
fs::path MakeWorkDir() {
    static std::mt19937_64 names(std::random_device{}());
    fs::path dir =
        fs::temp_directory_path() / ("tollander-fuzz-archive-" + std::to_string(names()));
    fs::create_directories(dir);
    return dir;
}

// Odd first byte: the rest becomes a stored name (length from the next byte)
// and a body behind a well-formed header, so that expansion is reached at
// once; even first byte: the bytes are the file as they are.
std::vector<std::uint8_t> MakeFile(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || (data[0] & 1) == 0) return {data, data + size};
    std::size_t name_length = std::min<std::size_t>(data[1] % 16, size - 2);
    ArchiveHeader header;
    header.file_name.assign(reinterpret_cast<const char*>(data + 2), name_length);
    const auto bytes = EncodeHeader(header);
    std::vector<std::uint8_t> file(bytes.begin(), bytes.end());
    file.insert(file.end(), data + 2 + name_length, data + size);
    return file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path dir = MakeWorkDir();
    const std::string in = (dir / "INPUT.BIN").string();
    const std::vector<std::uint8_t> file = MakeFile(data, size);
    if (std::FILE* f = std::fopen(in.c_str(), "wb")) {
        std::fwrite(file.data(), 1, file.size(), f);
        std::fclose(f);
    }
    if (tollander::platform::File f = tollander::platform::File::OpenRead(in); f.Valid()) {
        if (LZIsCompressed(f) != DecodeHeader(file).has_value()) __builtin_trap();
    }
    (void)LZStoredName(in);
    try {
        const DefaultExpansion names = ResolveDefaultExpansion(in);
        if (fs::path(names.output).parent_path() != dir) __builtin_trap();
        LZDecompressFile(names.input, names.output);
    } catch (const std::exception&) {
        // Refusals and file errors are answers too.
    }
    try {
        LZDecompressFile(in, (dir / "OUTPUT.BIN").string());
    } catch (const std::exception&) {
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
