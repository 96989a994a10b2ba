// tollander-mkfirmware DIR: writes the sample boot and main code (Intel HEX)
// and the alert sound into DIR, with fixed modification times.
#include "platform/command_line.h"
#include "platform/fs/dos_time.h"
#include "tools/mkfirmware/sample_firmware.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

using namespace tollander;

bool WriteFile(const std::string& path, const void* data, std::size_t size, std::uint32_t date) {
    {
        // errno says why, whichever of the three failed first.
        errno = 0;
        std::FILE* out = std::fopen(path.c_str(), "wb");
        bool written = out && std::fwrite(data, 1, size, out) == size;
        if (out && std::fclose(out) != 0) written = false;
        if (!written) {
            std::cerr << "tollander-mkfirmware: cannot write " << path << ": "
                      << std::strerror(errno != 0 ? errno : EIO) << "\n";
            return false;
        }
    }
    if (!platform::WriteFileDosTime(path, date)) {
        std::cerr << "tollander-mkfirmware: cannot set the date of " << path << "\n";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
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
    const bool ok =
        WriteFile(dir + "/" + tools::kBootHexName, boot.data(), boot.size(), tools::kBootHexDate) &&
        WriteFile(dir + "/" + tools::kMainHexName, main_code.data(), main_code.size(),
                  tools::kMainHexDate) &&
        WriteFile(dir + "/" + tools::kAlertName, wav.data(), wav.size(), tools::kMainHexDate);
    return ok ? 0 : 1;
}
