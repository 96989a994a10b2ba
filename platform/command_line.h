// The one argument parser of every program, and its convention: --help (or
// -h) prints the usage on stdout and exits 0; --version (or -V) prints the
// program's name and the build's version and exits 0; a usage error prints what was
// wrong and a pointer to --help on stderr and exits 2; any other failure
// exits 1. Options and operands may come in any order, "--" ends the
// options, a lone "-" is an operand. Values go as "--name VALUE",
// "--name=VALUE" or "-n VALUE". Plain C++: no getopt, so it builds anywhere.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tollander::platform {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// "x.y.z", from the project's version in the build.
const char* ProgramVersion();

// Thrown by an option's handler (or after Parse, by the program) for a
// command line that cannot be used; Parse reports it as a usage error.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CommandLine {
public:
    // `usage` is the whole --help text, ending in a newline.
    CommandLine(std::string program, std::string usage);

    // A switch: "--name", or "-c" when short_name is not 0.
    CommandLine& Flag(std::string long_name, char short_name, std::function<void()> on);
    CommandLine& Flag(std::string long_name, char short_name, bool& target);
    // An option with a value. The handler may throw UsageError for a bad
    // value; the message should name the option.
    CommandLine& Value(std::string long_name, char short_name,
                       std::function<void(const std::string&)> on);
    CommandLine& Value(std::string long_name, char short_name, std::string& target);

    // On a usage error, print the whole usage to stderr after the message
    // instead of the one-line pointer to --help.
    CommandLine& UsageOnError();
    // What --version prints in place of "PROGRAM VERSION\n" (asked only
    // when --version is given).
    CommandLine& VersionText(std::function<std::string()> text);

    // Parses argv[1..argc-1], calling the handlers in order. Returns nothing
    // when the program goes on (Operands() then holds the rest); otherwise
    // the status to exit with now: kExitSuccess after --help or --version
    // (printed on stdout), kExitUsage after a usage error (printed on
    // stderr). Nothing else is printed.
    std::optional<int> Parse(int argc, char** argv);
    const std::vector<std::string>& Operands() const { return operands_; }

    // "PROGRAM: message" and the pointer to --help (or the usage) on
    // stderr; returns kExitUsage.
    int UsageFailure(const std::string& message) const;
    // "PROGRAM: message" on stderr; returns kExitFailure.
    int Failure(const std::string& message) const;

    const std::string& Program() const { return program_; }
    const std::string& Usage() const { return usage_; }

private:
    struct Option {
        std::string long_name;
        char short_name;
        bool takes_value;
        std::function<void(const std::string&)> on;
    };
    // Prints what --help or --version (`name`) answers.
    void Answer(const std::string& name) const;
    const Option* Find(const std::string& long_name) const;
    const Option* Find(char short_name) const;

    std::string program_;
    std::string usage_;
    std::vector<Option> options_;
    std::vector<std::string> operands_;
    std::function<std::string()> version_text_;
    bool usage_on_error_ = false;
};

} // namespace tollander::platform
