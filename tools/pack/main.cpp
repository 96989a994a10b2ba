// tollander-pack: builds a flasher from a program, an alert sound, two Intel
// HEX images and the configuration fields, or shows what a flasher carries.
#include "payload/vendor_keys.h"
#include "platform/command_line.h"
#include "platform/fs/self_path.h"
#include "platform/fs/tool_files.h"
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
    "                      [--countries LIST] [--sign KEY.pem]\n"
    "       tollander-pack --inspect FILE\n"
    "       tollander-pack --help | --version\n"
    "LIST: country codes (0-49) or names, separated by commas, e.g. 4,Netherlands,12.\n"
    "Defaults: --program is tollander-flash beside this tool, --sound the sample alert.\n"
    "--sign: the vendor's ECDSA P-256 private key, readable by its owner only; an\n"
    "encrypted one takes its pass phrase from TOLLANDER_SIGN_PASS.\n"
    "Exit status: 0 done, 1 failed, 2 wrong arguments.\n";

std::string ProgramBesideTool() {
    const std::string self = platform::SelfPath();
    const std::size_t slash = self.rfind('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) +
           "/tollander-flash";
}

} // namespace

int main(int argc, char** argv) {
    platform::RemoveUnfinishedOutputOnSignals();
    tools::PackOptions options;
    std::string inspect;
    bool program_given = false;
    // A bad value is the caller's mistake: a usage error, not a failure.
    auto checked = [](auto parse) {
        return [parse](const std::string& value) {
            try {
                parse(value);
            } catch (const tools::PackError& e) {
                throw platform::UsageError(e.what());
            }
        };
    };
    platform::CommandLine command_line("tollander-pack", kUsage);
    command_line.Value("output", 'o', options.output)
        .Value("main", 0, options.main_hex)
        .Value("boot", 0, options.boot_hex)
        .Value("sound", 0, options.sound)
        .Value("program", 0,
               [&](const std::string& value) {
                   options.program = value;
                   program_given = true;
               })
        .Value("boot-model", 0, options.boot_model)
        .Value("main-model", 0, options.main_model)
        .Flag("ignore-model", 0, options.ignore_model)
        .Value("built-for", 0, options.built_for)
        .Value("family", 0, options.family)
        .Value("language", 0,
               checked([&](const std::string& v) { options.language = tools::ParseLanguage(v); }))
        .Value("countries", 0,
               checked([&](const std::string& v) { options.countries = tools::ParseCountries(v); }))
        .Value("sign", 0, options.sign_key)
        .Value("inspect", 0, inspect);
    if (const auto status = command_line.Parse(argc, argv)) return *status;
    if (!command_line.Operands().empty()) {
        return command_line.UsageFailure("unexpected argument '" + command_line.Operands()[0] +
                                         "'");
    }
    try {
        if (!inspect.empty()) {
            tools::PrintInspection(tools::InspectFile(inspect, payload::BuiltInVendorKeys()),
                                   std::cout);
            return platform::kExitSuccess;
        }
        if (options.output.empty() || options.main_hex.empty())
            return command_line.UsageFailure("-o OUT and --main MAIN.HEX are required");
        if (!program_given) options.program = ProgramBesideTool();
        tools::Pack(options);
        return platform::kExitSuccess;
    } catch (const std::exception& e) {
        return command_line.Failure(e.what());
    }
}
