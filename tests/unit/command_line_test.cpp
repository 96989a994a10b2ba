// The shared argument parser, and every tool held to its convention.
#include "platform/command_line.h"
#ifdef _WIN32
#include "platform/fs/files.h"
#include "tests/unit/windows_tools.h"
#endif

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <vector>

namespace {

using tollander::platform::CommandLine;
using tollander::platform::kExitUsage;
using tollander::platform::ProgramVersion;
using tollander::platform::UsageError;

struct Parsed {
    std::optional<int> status;
    std::string out;
    std::string err;
    std::vector<std::string> operands;
    bool force = false;
    std::string output;
    std::vector<std::string> seen; // every --item, in order
};

Parsed Parse(std::vector<std::string> args) {
    Parsed p;
    CommandLine cl("prog", "usage: prog [--force] [-o OUT] [--item X]... ARG...\n");
    cl.Flag("force", 'f', p.force)
        .Value("output", 'o', p.output)
        .Value("item", 0, [&p](const std::string& v) {
            if (v == "bad") throw UsageError("bad value 'bad' for --item");
            p.seen.push_back(v);
        });
    args.insert(args.begin(), "prog");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    p.status = cl.Parse(static_cast<int>(argv.size()), argv.data());
    p.out = testing::internal::GetCapturedStdout();
    p.err = testing::internal::GetCapturedStderr();
    p.operands = cl.Operands();
    return p;
}

const std::string kTry = "Try 'prog --help'.\n";

TEST(CommandLine, ParsesTheHouseForms) {
    Parsed p = Parse({"a", "--force", "-o", "x", "--item=1", "b", "--item", "2", "--", "--item"});
    EXPECT_FALSE(p.status);
    EXPECT_TRUE(p.force);
    EXPECT_EQ(p.output, "x");
    EXPECT_EQ(p.seen, (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(p.operands, (std::vector<std::string>{"a", "b", "--item"}));
    EXPECT_EQ(p.out + p.err, "");

    p = Parse({"-", "-f", "--output=", "/ud"});
    EXPECT_FALSE(p.status);
    EXPECT_TRUE(p.force);
    EXPECT_EQ(p.output, "");
    EXPECT_EQ(p.operands, (std::vector<std::string>{"-", "/ud"}));
}

TEST(CommandLine, HelpVersionAndUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    };
    const std::string usage = "usage: prog [--force] [-o OUT] [--item X]... ARG...\n";
    const std::string version = std::string("prog ") + ProgramVersion() + "\n";
    const Case cases[] = {
        {{"--help"}, 0, usage, ""},
        {{"-h"}, 0, usage, ""},
        {{"-V", "--bogus"}, 0, version, ""},
        {{"a", "--version", "--bogus"}, 0, version, ""}, // answered before what follows
        {{"--bogus", "--help"}, kExitUsage, "", "prog: unknown option '--bogus'\n" + kTry},
        {{"-x"}, kExitUsage, "", "prog: unknown option '-x'\n" + kTry},
        {{"-fo"}, kExitUsage, "", "prog: unknown option '-fo'\n" + kTry},
        {{"--force=yes"}, kExitUsage, "", "prog: option --force takes no value\n" + kTry},
        {{"--version=2"}, kExitUsage, "", "prog: option --version takes no value\n" + kTry},
        {{"-o"}, kExitUsage, "", "prog: option -o needs a value\n" + kTry},
        {{"--item", "bad"}, kExitUsage, "", "prog: bad value 'bad' for --item\n" + kTry},
    };
    for (const Case& c : cases) {
        std::string name;
        for (const std::string& a : c.args)
            name += a + " ";
        const Parsed p = Parse(c.args);
        ASSERT_TRUE(p.status) << name;
        EXPECT_EQ(*p.status, c.status) << name;
        EXPECT_EQ(p.out, c.out) << name;
        EXPECT_EQ(p.err, c.err) << name;
    }
    EXPECT_STRNE(ProgramVersion(), "");
}

TEST(CommandLine, AProgramsOwnVersionTextAndShortOptions) {
    // The program's text is asked for only when --version is given.
    int asked = 0;
    bool verbose = false;
    CommandLine cl("prog", "usage\n");
    cl.Flag("verbose", 'V', verbose).VersionText([&asked] {
        ++asked;
        return std::string("prog 1\nmore\n");
    });
    std::vector<std::string> args = {"prog", "-V"};
    std::vector<char*> argv = {args[0].data(), args[1].data()};
    EXPECT_FALSE(cl.Parse(2, argv.data())); // -V is the program's own here
    EXPECT_TRUE(verbose);
    EXPECT_EQ(asked, 0);
    args[1] = "--version";
    argv = {args[0].data(), args[1].data()};
    testing::internal::CaptureStdout();
    EXPECT_EQ(cl.Parse(2, argv.data()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "prog 1\nmore\n");
    EXPECT_EQ(asked, 1);
}

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

#ifdef _WIN32
using tollander::testing::NativePath;

ToolRun RunTool(const std::string& command) {
    const std::string scratch = tollander::platform::MakeScratchDir("cl-out");
    const std::string out_name = NativePath(scratch + "/out");
    const std::string err_name = NativePath(scratch + "/err");
    const int status = std::system((command + " <NUL >" + out_name + " 2>" + err_name).c_str());
    // Text mode, so that the lines read back as the tools meant them.
    auto slurp = [](const std::string& name) {
        std::string text;
        if (std::FILE* f = std::fopen(name.c_str(), "r")) {
            char buffer[4096];
            std::size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
                text.append(buffer, n);
            std::fclose(f);
        }
        return text;
    };
    ToolRun run{status, slurp(out_name), slurp(err_name)};
    tollander::platform::RemoveTree(scratch);
    return run;
}
#else
ToolRun RunTool(const std::string& command) {
    char out_name[] = "/tmp/cl-out-XXXXXX";
    char err_name[] = "/tmp/cl-err-XXXXXX";
    const int out_fd = mkstemp(out_name);
    const int err_fd = mkstemp(err_name);
    close(out_fd);
    close(err_fd);
    const std::string full = command + " </dev/null >" + out_name + " 2>" + err_name;
    const int raw = std::system(full.c_str());
    auto slurp = [](const char* name) {
        std::string text;
        if (std::FILE* f = std::fopen(name, "rb")) {
            char buffer[4096];
            std::size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
                text.append(buffer, n);
            std::fclose(f);
        }
        std::remove(name);
        return text;
    };
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out_name), slurp(err_name)};
}
#endif

#ifdef _WIN32
TEST(CommandLine, EveryToolAnswersHelpVersionAndUnknownOptions) {
    // The virtual modem is Linux's alone.
    for (const char* tool : {"tollander-lzss", "tollander-pack", "tollander-mkfirmware"}) {
        const std::string path = tollander::testing::WindowsTool(tool);
        const std::string dir = tollander::platform::MakeScratchDir("cl-cwd");
        const std::string in_dir = "cd /d " + NativePath(dir) + " && " + path + " ";
#else
TEST(CommandLine, EveryToolAnswersHelpVersionAndUnknownOptions) {
    const char* bin = std::getenv("TOLLANDER_BIN");
    ASSERT_NE(bin, nullptr);
    for (const char* tool :
         {"tollander-lzss", "tollander-pack", "tollander-mkfirmware", "tollander-vmodem"}) {
        const std::string path = std::string(bin) + "/" + tool;
        // In a directory of its own, so that a tool that took an option for
        // an operand would leave a trace there.
        char dir[] = "/tmp/cl-cwd-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        const std::string in_dir = std::string("cd ") + dir + " && '" + path + "' ";
#endif

        ToolRun r = RunTool(in_dir + "--help");
        EXPECT_EQ(r.status, 0) << tool;
        EXPECT_EQ(r.out.rfind(std::string("usage: ") + tool, 0), 0u) << tool << r.out;
        EXPECT_EQ(r.err, "") << tool;

        r = RunTool(in_dir + "--version");
        EXPECT_EQ(r.status, 0) << tool;
        EXPECT_EQ(r.out, std::string(tool) + " " + ProgramVersion() + "\n") << tool;
        EXPECT_EQ(r.err, "") << tool;

        r = RunTool(in_dir + "--no-such-option");
        EXPECT_EQ(r.status, 2) << tool;
        EXPECT_EQ(r.out, "") << tool;
        EXPECT_EQ(r.err, std::string(tool) + ": unknown option '--no-such-option'\nTry '" + tool +
                             " --help'.\n")
            << tool;

#ifdef _WIN32
        EXPECT_TRUE(std::filesystem::is_empty(dir)) << tool << " left files behind";
        tollander::platform::RemoveTree(dir);
#else
        EXPECT_EQ(rmdir(dir), 0) << tool << " left files behind";
#endif
    }
}

} // namespace
