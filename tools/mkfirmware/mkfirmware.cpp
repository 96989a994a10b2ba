// tollander-mkfirmware DIR: writes the sample boot and main code (Intel HEX)
// and the alert sound into DIR, with fixed modification times.
#include "platform/dos_time.h"
#include "tools/mkfirmware/sample_firmware.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

namespace {

using namespace tollander;

bool WriteFile(const std::string& path, const void* data, std::size_t size, std::uint32_t date) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        out.close();
        if (!out) {
            std::cerr << "tollander-mkfirmware: cannot write " << path << "\n";
            return false;
        }
    }
    if (!platform::write_file_dos_time(path, date)) {
        std::cerr << "tollander-mkfirmware: cannot set the date of " << path << "\n";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: tollander-mkfirmware DIR\n"
                     "writes "
                  << tools::kBootHexName << ", " << tools::kMainHexName << " and "
                  << tools::kAlertName << " into DIR\n";
        return 2;
    }
    const std::string dir = argv[1];
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
