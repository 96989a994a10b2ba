// tollander-lzss: compresses, expands and describes files in the archive
// format the flasher carries its firmware in.
#include "payload/archive.h"
#include "platform/command_line.h"
#include "platform/fs/dos_time.h"
#include "platform/fs/io_error.h"
#include "platform/fs/files.h"
#include "platform/fs/tool_files.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace tollander::payload;
namespace platform = tollander::platform;

const char* const kUsage =
    "usage: tollander-lzss [--force] compress IN [OUT]   (OUT defaults to IN with its last\n"
    "                                                    extension character made '~')\n"
    "       tollander-lzss [--force] expand IN [OUT]     (OUT defaults to the name stored\n"
    "                                                    in IN, beside IN)\n"
    "       tollander-lzss info FILE\n"
    "       tollander-lzss --help | --version\n"
    "IN and OUT must be regular files. An existing OUT is only replaced with --force,\n"
    "and only by a complete file; a failed run leaves it as it was.\n"
    "Exit status: 0 done, 1 failed, 2 wrong arguments.\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "tollander-lzss: %s\n", message.c_str());
    return platform::kExitFailure;
}

int Info(const std::string& name) {
    platform::File input = platform::File::OpenInput(name);
    const auto header = LZReadHeader(input);
    if (!header) {
        std::printf("%s: not an archive (no \"%s\" header)\n", name.c_str(), kArchiveSignature);
        return 0;
    }
    const std::int64_t body = input.Size() - static_cast<std::int64_t>(kHeaderSize);
    std::printf("%s: archive\n", name.c_str());
    std::printf("  stored name:       %s\n", header->file_name.c_str());
    std::printf("  uncompressed size: %d\n", header->uncompressed_size);
    std::printf("  body size:         %d", header->body_size);
    if (body != header->body_size) std::printf(" (the file holds %lld)", (long long)body);
    std::printf("\n  date:              %s\n",
                platform::FormatDosTime(header->file_date).c_str());
    std::printf("  version:           %s\n", header->version.c_str());
    return 0;
}

// Each file is opened once and the work done on what was opened: the checks
// below look at the open input and at what OUT names now, and OUT is only
// ever replaced whole, by a finished file.
int Run(bool compress, const std::string& requested, std::string output, bool force) {
    // Expanding a name that is not there reads the archive under its
    // compressed name, if that stores the name asked for.
    std::string source = requested;
    if (!compress && !platform::ExamineName(requested).exists &&
        platform::ExamineName(LZCompressedName(requested)).exists) {
        source = LZCompressedName(requested);
    }
    platform::File input = platform::File::OpenInput(source);
    const auto header = LZReadHeader(input);
    if (source != requested) CheckStoredName(header ? header->file_name : source, requested);
    if (output.empty()) {
        if (compress) {
            output = LZCompressedName(requested);
        } else {
            if (!header) {
                return Fail(source + ": not an archive (name an output to copy it unchanged)");
            }
            output = DefaultExpansionOutput(source, header->file_name);
        }
    }

    const platform::NameInfo existing = platform::ExamineName(output);
    if (!existing.kind.empty()) {
        return Fail(output + ": not a regular file (" + existing.kind + "); name a file to write");
    }
    if (existing.target == input.Identity()) {
        return Fail(source + " and " + output + " are the same file");
    }
    if (existing.exists && !force) {
        return Fail(output + ": already exists (use --force to replace it)");
    }

    const OpenedInput opened{input, source, input.Size(), input.DosTime()};
    try {
        platform::File out = platform::File::CreateReplacement(output);
        const CodecOutcome done =
            compress ? LZCompressOpen(opened, out) : LZDecompressOpen(opened, out);
        out.Commit(done.output_date);
        if (done.plain_copy) {
            std::printf("%s %s: copied to %s unchanged\n", source.c_str(),
                        compress ? "is already an archive" : "is not an archive", output.c_str());
        } else {
            std::printf("%s %s -> %s: %lld -> %d bytes\n", compress ? "compressed" : "expanded",
                        source.c_str(), output.c_str(), (long long)input.Size(), done.bytes);
        }
        return 0;
    } catch (const std::exception& e) {
        return Fail(std::string(compress ? "compress " : "expand ") + source + " -> " + output +
                    ": " + e.what());
    }
}

} // namespace

int main(int argc, char** argv) {
    platform::RemoveUnfinishedOutputOnSignals();
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
        if (command == "info") return Info(args[1]);
        return Run(command == "compress", args[1], args.size() == 3 ? args[2] : "", force);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}
