#include "platform/command_line.h"

#include "tollander_version.h"

namespace tollander::platform {

const char* ProgramVersion() {
    return TOLLANDER_VERSION;
}

CommandLine::CommandLine(std::string program, std::string usage)
    : program_(std::move(program)), usage_(std::move(usage)) {}

CommandLine& CommandLine::Flag(std::string long_name, char short_name, std::function<void()> on) {
    options_.push_back({std::move(long_name), short_name, false,
                        [on = std::move(on)](const std::string&) { on(); }});
    return *this;
}

CommandLine& CommandLine::Flag(std::string long_name, char short_name, bool& target) {
    return Flag(std::move(long_name), short_name, [&target] { target = true; });
}

CommandLine& CommandLine::Value(std::string long_name, char short_name,
                                std::function<void(const std::string&)> on) {
    options_.push_back({std::move(long_name), short_name, true, std::move(on)});
    return *this;
}

CommandLine& CommandLine::Value(std::string long_name, char short_name, std::string& target) {
    return Value(std::move(long_name), short_name,
                 [&target](const std::string& value) { target = value; });
}

CommandLine& CommandLine::UsageOnError() {
    usage_on_error_ = true;
    return *this;
}

CommandLine& CommandLine::VersionText(std::function<std::string()> text) {
    version_text_ = std::move(text);
    return *this;
}

const CommandLine::Option* CommandLine::Find(const std::string& long_name) const {
    for (const Option& option : options_)
        if (option.long_name == long_name) return &option;
    return nullptr;
}

const CommandLine::Option* CommandLine::Find(char short_name) const {
    for (const Option& option : options_)
        if (short_name != 0 && option.short_name == short_name) return &option;
    return nullptr;
}

std::optional<int> CommandLine::Parse(int argc, char** argv) {
    operands_.clear();
    try {
        bool options_ended = false;
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (options_ended || arg.size() < 2 || arg[0] != '-') {
                operands_.push_back(arg);
                continue;
            }
            if (arg == "--") {
                options_ended = true;
                continue;
            }
            std::string name;
            std::optional<std::string> inline_value;
            const Option* option = nullptr;
            if (arg[1] == '-') {
                const std::size_t eq = arg.find('=');
                name = arg.substr(0, eq);
                if (eq != std::string::npos) inline_value = arg.substr(eq + 1);
                if (name == "--help" || name == "--version") {
                    if (inline_value) throw UsageError("option " + name + " takes no value");
                    Answer(name);
                    return kExitSuccess;
                }
                option = Find(name.substr(2));
            } else {
                // Short options stand alone: "-f", "-o VALUE".
                name = arg;
                // -h and -V stand for --help and --version unless the
                // program gives them a meaning of its own.
                if ((arg == "-h" || arg == "-V") && !Find(arg[1])) {
                    Answer(arg == "-h" ? "--help" : "--version");
                    return kExitSuccess;
                }
                if (arg.size() == 2) option = Find(arg[1]);
            }
            if (!option) throw UsageError("unknown option '" + name + "'");
            if (!option->takes_value) {
                if (inline_value) throw UsageError("option " + name + " takes no value");
                option->on({});
                continue;
            }
            if (!inline_value) {
                if (i + 1 >= argc) throw UsageError("option " + name + " needs a value");
                inline_value = argv[++i];
            }
            option->on(*inline_value);
        }
    } catch (const UsageError& e) {
        return UsageFailure(e.what());
    }
    return std::nullopt;
}

void CommandLine::Answer(const std::string& name) const {
    if (name == "--help")
        std::fputs(usage_.c_str(), stdout);
    else if (version_text_)
        std::fputs(version_text_().c_str(), stdout);
    else
        std::printf("%s %s\n", program_.c_str(), ProgramVersion());
    std::fflush(stdout);
}

int CommandLine::UsageFailure(const std::string& message) const {
    std::fprintf(stderr, "%s: %s\n", program_.c_str(), message.c_str());
    if (usage_on_error_) {
        std::fputs(usage_.c_str(), stderr);
    } else {
        std::fprintf(stderr, "Try '%s --help'.\n", program_.c_str());
    }
    return kExitUsage;
}

int CommandLine::Failure(const std::string& message) const {
    std::fprintf(stderr, "%s: %s\n", program_.c_str(), message.c_str());
    return kExitFailure;
}

} // namespace tollander::platform
