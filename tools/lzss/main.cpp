// tollander-lzss: compresses, expands and describes files in the archive
// format the flasher carries its firmware in.
#include "payload/archive.h"
#include "platform/command_line.h"
#include "platform/io_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace tollander::payload;
namespace fs = std::filesystem;

const char* const kUsage =
    "usage: tollander-lzss [--force] compress IN [OUT]   (OUT defaults to IN with its last\n"
    "                                                    extension character made '~')\n"
    "       tollander-lzss [--force] expand IN [OUT]     (OUT defaults to the name stored\n"
    "                                                    in IN, beside IN)\n"
    "       tollander-lzss info FILE\n"
    "       tollander-lzss --help | --version\n"
    "An existing OUT is only replaced with --force.\n"
    "Exit status: 0 done, 1 failed, 2 wrong arguments.\n";

// The library's callbacks carry no context; the tool runs one operation.
bool g_output_created = false;

void note_progress(const TLZReportRec&, std::int32_t count) {
    if (count == -1) g_output_created = true;
}

std::uint8_t refuse_overwrite(const TLZReportRec&, const std::string&) {
    return 0;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "tollander-lzss: %s\n", message.c_str());
    return 1;
}

bool exists(const std::string& name) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(name, ec));
}

std::int64_t size_of(const std::string& name) {
    std::error_code ec;
    const auto size = fs::file_size(name, ec);
    return ec ? -1 : static_cast<std::int64_t>(size);
}

std::string format_dos_date(std::uint32_t packed) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", (packed >> 25) + 1980,
                  (packed >> 21) & 0x0F, (packed >> 16) & 0x1F, (packed >> 11) & 0x1F,
                  (packed >> 5) & 0x3F, (packed & 0x1F) * 2);
    return text;
}

bool is_archive(const std::string& name) {
    std::FILE* file = std::fopen(name.c_str(), "rb");
    if (!file) return false;
    const bool archive = LZIsCompressed(file);
    std::fclose(file);
    return archive;
}

int info(const std::string& name) {
    std::FILE* file = std::fopen(name.c_str(), "rb");
    if (!file) return fail(name + ": " + std::strerror(errno));
    std::uint8_t bytes[kHeaderSize];
    const std::size_t got = std::fread(bytes, 1, sizeof bytes, file);
    std::fclose(file);
    const auto header = decode_header(std::span<const std::uint8_t>(bytes, got));
    if (!header) {
        std::printf("%s: not an archive (no \"%s\" header)\n", name.c_str(), kArchiveSignature);
        return 0;
    }
    const std::int64_t body = size_of(name) - static_cast<std::int64_t>(kHeaderSize);
    std::printf("%s: archive\n", name.c_str());
    std::printf("  stored name:       %s\n", header->file_name.c_str());
    std::printf("  uncompressed size: %d\n", header->uncompressed_size);
    std::printf("  body size:         %d", header->body_size);
    if (body != header->body_size) std::printf(" (the file holds %lld)", (long long)body);
    std::printf("\n  date:              %s\n", format_dos_date(header->file_date).c_str());
    std::printf("  version:           %s\n", header->version.c_str());
    return 0;
}

int run(bool compress, const std::string& input, std::string output, bool force) {
    // Expanding also looks for the archive under the compressed name.
    if (!exists(input) && (compress || !exists(LZCompressedName(input)))) {
        return fail(input + ": " + std::strerror(ENOENT));
    }
    std::string source = input;      // the file actually read
    std::string expand_from = input; // what the library is asked to expand
    if (output.empty()) {
        if (compress) {
            output = LZCompressedName(input);
        } else {
            if (exists(input) && !is_archive(input)) {
                return fail(input + ": not an archive (name an output to copy it unchanged)");
            }
            const DefaultExpansion names = resolve_default_expansion(input);
            source = expand_from = names.input;
            output = names.output;
        }
    } else if (!compress && !exists(input)) {
        source = LZCompressedName(input); // where expanding looks instead
    }
    if (exists(output) && !force) {
        return fail(output + ": already exists (use --force to replace it)");
    }
    const bool was_archive = is_archive(source);
    const std::int64_t input_size = size_of(source);
    TLZOverwriteQuery query = force ? nullptr : refuse_overwrite;
    try {
        const std::int32_t result =
            compress ? LZCompressFile(input, output, query, note_progress)
                     : LZDecompressFile(expand_from, output, query, note_progress);
        if (result == kLZCancelled) return fail(output + ": already exists");
        if (compress && was_archive) {
            std::printf("%s is already an archive: copied to %s unchanged\n", source.c_str(),
                        output.c_str());
        } else if (!compress && !was_archive) {
            std::printf("%s is not an archive: copied to %s unchanged\n", source.c_str(),
                        output.c_str());
        } else {
            std::printf("%s %s -> %s: %lld -> %d bytes\n", compress ? "compressed" : "expanded",
                        source.c_str(), output.c_str(), (long long)input_size, result);
        }
        return 0;
    } catch (const std::exception& e) {
        // Whatever was written is useless; never leave half a file behind.
        if (g_output_created) {
            std::error_code ec;
            fs::remove(output, ec);
        }
        return fail(std::string(compress ? "compress " : "expand ") + source + " -> " + output +
                    ": " + e.what());
    }
}

} // namespace

int main(int argc, char** argv) {
    bool force = false;
    tollander::platform::CommandLine command_line("tollander-lzss", kUsage);
    command_line.Flag("force", 'f', force);
    if (const auto status = command_line.Parse(argc, argv)) return *status;
    const std::vector<std::string>& args = command_line.Operands();
    if (args.empty()) return command_line.UsageFailure("no command given");
    const std::string& command = args[0];
    const bool known = command == "info" || command == "compress" || command == "expand";
    if (!known) return command_line.UsageFailure("unknown command '" + command + "'");
    const std::size_t most = command == "info" ? 2 : 3;
    if (args.size() < 2 || args.size() > most) {
        return command_line.UsageFailure("wrong number of arguments for " + command);
    }
    try {
        if (command == "info") return info(args[1]);
        return run(command == "compress", args[1], args.size() == 3 ? args[2] : "", force);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}
