// tollander-mkfirmware DIR: writes the sample boot and main code (Intel HEX)
// and the alert sound into DIR, with fixed modification times. Each file is
// written as the other tools write their outputs (tool_files.h): under a
// fresh name beside it, renamed over it only when complete, so a failed
// write leaves the old file (or none) and never half of a new one.
#include "platform/command_line.h"
#include "platform/fs/files.h"
#include "platform/fs/tool_files.h"
#include "tools/mkfirmware/sample_firmware.h"

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace {

using namespace tollander;

void WriteFile(const std::string& path, const void* data, std::size_t size, std::uint32_t date) {
    platform::File out = platform::File::CreateReplacement(path);
    out.Write(data, size);
    out.Commit(date);
}

} // namespace

int main(int argc, char** argv) {
    platform::RemoveUnfinishedOutputOnSignals();
    const std::string usage = std::string("usage: tollander-mkfirmware DIR\n"
                                          "       tollander-mkfirmware --help | --version\n"
                                          "Writes ") +
                              tools::kBootHexName + ", " + tools::kMainHexName + " and " +
                              tools::kAlertName +
                              " into the directory DIR.\n"
                              "Exit status: 0 done, 1 failed, 2 wrong arguments.\n";
    platform::CommandLine command_line("tollander-mkfirmware", usage);
    if (const auto status = command_line.Parse(argc, argv)) return *status;
    if (command_line.Operands().size() != 1) {
        return command_line.UsageFailure("one output directory expected");
    }
    const std::string dir = command_line.Operands()[0];
    const std::string boot = tools::MakeBootHex();
    const std::string main_code = tools::MakeMainHex();
    const std::vector<std::uint8_t> wav = tools::MakeAlertWav();
    try {
        WriteFile(dir + "/" + tools::kBootHexName, boot.data(), boot.size(), tools::kBootHexDate);
        WriteFile(dir + "/" + tools::kMainHexName, main_code.data(), main_code.size(),
                  tools::kMainHexDate);
        WriteFile(dir + "/" + tools::kAlertName, wav.data(), wav.size(), tools::kMainHexDate);
    } catch (const std::exception& e) {
        // "PATH: reason", the path the one that failed.
        return command_line.Failure(std::string("cannot write ") + e.what());
    }
    return platform::kExitSuccess;
}
