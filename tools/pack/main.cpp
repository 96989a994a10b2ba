// tollander-pack: builds a flasher from a program, an alert sound, two Intel
// HEX images and the configuration fields, or shows what a flasher carries.
#include "platform/self_path.h"
#include "tools/pack/packer.h"

#include <iostream>
#include <string>
#include <string_view>

namespace {

using namespace tollander;

constexpr const char* kUsage =
    "usage: tollander-pack -o OUT --main MAIN.HEX [--boot BOOT.HEX] [--sound ALERT.WAV]\n"
    "                      [--program BIN] [--boot-model S] [--main-model S] [--ignore-model]\n"
    "                      [--built-for S] [--family S] [--language en|de|fr|it|es]\n"
    "                      [--countries LIST]\n"
    "       tollander-pack --inspect FILE\n"
    "LIST: country codes (0-49) or names, separated by commas, e.g. 4,Netherlands,12.\n"
    "Defaults: --program is tollander-flash beside this tool, --sound the sample alert.\n";

std::string ProgramBesideTool() {
    const std::string self = platform::SelfPath();
    const std::size_t slash = self.rfind('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) +
           "/tollander-flash";
}

int Usage(const std::string& fault) {
    std::cerr << "tollander-pack: " << fault << "\n" << kUsage;
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    tools::PackOptions options;
    std::string inspect;
    bool program_given = false;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            std::string value;
            bool inline_value = false;
            if (arg.starts_with("--") && arg.find('=') != std::string::npos) {
                value = arg.substr(arg.find('=') + 1);
                arg = arg.substr(0, arg.find('='));
                inline_value = true;
            }
            auto take = [&]() -> std::string {
                if (inline_value) return value;
                if (i + 1 >= argc) throw tools::PackError(arg + " needs a value");
                return argv[++i];
            };
            if (arg == "-h" || arg == "--help") {
                std::cout << kUsage;
                return 0;
            } else if (arg == "-o" || arg == "--output") {
                options.output = take();
            } else if (arg == "--main") {
                options.main_hex = take();
            } else if (arg == "--boot") {
                options.boot_hex = take();
            } else if (arg == "--sound") {
                options.sound = take();
            } else if (arg == "--program") {
                options.program = take();
                program_given = true;
            } else if (arg == "--boot-model") {
                options.boot_model = take();
            } else if (arg == "--main-model") {
                options.main_model = take();
            } else if (arg == "--ignore-model") {
                options.ignore_model = true;
            } else if (arg == "--built-for") {
                options.built_for = take();
            } else if (arg == "--family") {
                options.family = take();
            } else if (arg == "--language") {
                options.language = tools::ParseLanguage(take());
            } else if (arg == "--countries") {
                options.countries = tools::ParseCountries(take());
            } else if (arg == "--inspect") {
                inspect = take();
            } else {
                return Usage("unknown argument \"" + arg + "\"");
            }
        }
        if (!inspect.empty()) {
            tools::PrintInspection(tools::InspectFile(inspect), std::cout);
            return 0;
        }
        if (options.output.empty() || options.main_hex.empty())
            return Usage("-o OUT and --main MAIN.HEX are required");
        if (!program_given) options.program = ProgramBesideTool();
        tools::Pack(options);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "tollander-pack: " << e.what() << "\n";
        return 1;
    }
}
