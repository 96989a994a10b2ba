#include "platform/crypto/crypto.h"
#include "platform/fs/dos_time.h"
#include "platform/fs/self_path.h"
#include "tests/unit/payload_fixture.h"
#include "tests/unit/windows_tools.h"
#include "tools/mkfirmware/sample_firmware.h"
#include "tools/pack/packer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <functional>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tollander::tools {
namespace {

using testing::ReadBytes;
using testing::ScratchWorld;
using testing::WriteBytes;
using testing::WriteText;
namespace fs = std::filesystem;

struct ToolRun {
    int status;
    std::string output; // stdout and stderr
};

// `shell`: POSIX shell settings the tool starts under (a file size limit).
ToolRun RunTool(const std::string& tool, const std::string& args, const std::string& shell = "") {
#ifdef _WIN32
    if (!shell.empty()) ADD_FAILURE() << "no POSIX shell here";
    const std::string command = testing::WindowsTool(tool) + " " + args + " 2>&1";
    ToolRun run{-1, {}};
    FILE* pipe = ::_popen(command.c_str(), "r");
#else
    const char* bin = std::getenv("TOLLANDER_BIN");
    const std::string command =
        shell + std::string(bin ? bin : "bin") + "/" + tool + " " + args + " 2>&1";
    ToolRun run{-1, {}};
    FILE* pipe = ::popen(command.c_str(), "r");
#endif
    if (pipe == nullptr) return run;
    std::array<char, 4096> buffer{};
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
        run.output.append(buffer.data(), n);
#ifdef _WIN32
    run.status = ::_pclose(pipe);
#else
    const int raw = ::pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    return run;
}

std::string Sha(const void* data, std::size_t n) {
    platform::Sha256 sha;
    sha.Update(data, n);
    return sha.FinishHex();
}

class SampleFirmwareTest : public ScratchWorld {};

TEST_F(SampleFirmwareTest, ExactSizesValidRecordsAndDeterministic) {
    const std::string boot = MakeBootHex();
    const std::string main_code = MakeMainHex();
    EXPECT_EQ(boot.size(), 21417u);
    EXPECT_EQ(main_code.size(), 619821u);
    EXPECT_EQ(MakeBootHex(), boot);
    for (const std::string* text : {&boot, &main_code}) {
        std::size_t segments = 0;
        std::istringstream lines(*text);
        std::string line;
        while (std::getline(lines, line)) {
            ASSERT_EQ(line.back(), '\r');
            line.pop_back();
            EXPECT_EQ(line.find_first_not_of(":0123456789ABCDEF"), std::string::npos) << line;
            EXPECT_LE(line.size(), 11u + 64u);
            segments += line.compare(7, 2, "02") == 0;
        }
        EXPECT_GE(segments, 1u);
        EXPECT_TRUE(text->ends_with(":00000001FF\r\n"));
    }
    WriteText("F", boot);
    EXPECT_FALSE(CheckIntelHex("F"));
    WriteText("F", main_code);
    EXPECT_FALSE(CheckIntelHex("F"));

    const auto wav = MakeAlertWav();
    ASSERT_EQ(wav.size(), 27958u);
    auto u32 = [&](std::size_t at) {
        return wav[at] | wav[at + 1] << 8 | wav[at + 2] << 16 | wav[at + 3] << 24;
    };
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_EQ(u32(4), 27950);
    EXPECT_EQ(u32(24), 11000);                     // samples per second
    EXPECT_EQ(wav[22] | wav[34] << 8, 1 | 8 << 8); // mono, 8 bits
    EXPECT_EQ(std::string(wav.begin() + 36, wav.begin() + 40), "data");
    EXPECT_EQ(u32(40), 27862);
    // A sound, not silence: the samples swing well away from the midpoint.
    const auto [lo, hi] = std::minmax_element(wav.begin() + 44, wav.begin() + 44 + 27862);
    EXPECT_LT(*lo, 60);
    EXPECT_GT(*hi, 196);
}

class PackTest : public ScratchWorld {
protected:
    void SetUp() override {
        ScratchWorld::SetUp();
        ASSERT_EQ(RunTool("tollander-mkfirmware", Cwd().string()).status, 0);
        WriteBytes("program", std::vector<std::uint8_t>(4000, 0x90));
    }
    static std::string Base() {
        return "-o out --program program --boot FLS0228.HEX --main F2ZE0529.HEX"
               " --sound ALERT.WAV --boot-model xx166301 --main-model xx166301"
               " --built-for International --family Tollander --language en --countries 4,7,12";
    }
};

TEST_F(PackTest, MkfirmwareSaysWhyItCannotWrite) {
    const ToolRun run = RunTool("tollander-mkfirmware", "no-such-dir");
    EXPECT_EQ(run.status, 1);
#ifdef _WIN32 // Windows' own reason, in Wine's words or Windows', as for every tool
    EXPECT_NE(run.output.find("cannot write no-such-dir/FLS0228.HEX: "), std::string::npos)
        << run.output;
    EXPECT_TRUE(run.output.find("Path not found") != std::string::npos ||
                run.output.find("cannot find the path") != std::string::npos)
        << run.output;
#else
    EXPECT_NE(run.output.find("cannot write no-such-dir/FLS0228.HEX: No such file or directory"),
              std::string::npos)
        << run.output;
#endif
}

// Each file is replaced whole or not at all: a write that fails part way
// leaves the old file and nothing half written beside it, and a link under a
// name is replaced, never written through.
TEST_F(PackTest, MkfirmwareReplacesEachFileWholeOrNotAtAll) {
#ifdef _WIN32
    GTEST_SKIP() << "file size limits, mounts and symbolic links are POSIX";
#else
    const std::string boot = MakeBootHex();
    const std::string main_code = MakeMainHex();
    const std::vector<std::uint8_t> wav = MakeAlertWav();
    auto text = [](const fs::path& path) {
        const auto bytes = ReadBytes(path);
        return std::string(bytes.begin(), bytes.end());
    };
    struct Case {
        const char* what;
        std::function<bool()> setup; // false: cannot be set up here
        std::string shell;
        std::string says;
    };
    bool mounted = false;
    const Case cases[] = {
        // The default action of SIGXFSZ would kill the tool half way.
        {"a file size limit that the boot code fits and the main code does not", [] { return true; },
         "trap - XFSZ; ulimit -f 100; ", "File too large"},
        {"a full disk",
         [&] {
             mounted = std::system("mount -t tmpfs -o size=64k tmpfs fw 2>/dev/null") == 0;
             return mounted;
         },
         "", "No space left on device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::create_directory("fw");
        if (!c.setup()) {
            std::printf("skipped (cannot be set up here): %s\n", c.what);
            fs::remove_all("fw");
            continue;
        }
        WriteText("elsewhere", "not ours to write");
        fs::create_symlink("../elsewhere", "fw/FLS0228.HEX");
        WriteText("fw/F2ZE0529.HEX", "old main");

        const ToolRun failed = RunTool("tollander-mkfirmware", "fw", c.shell);
        EXPECT_EQ(failed.status, 1);
        EXPECT_NE(failed.output.find("tollander-mkfirmware: cannot write fw/F2ZE0529.HEX: " +
                                     c.says),
                  std::string::npos)
            << failed.output;
        EXPECT_FALSE(fs::is_symlink("fw/FLS0228.HEX"));
        EXPECT_TRUE(text("fw/FLS0228.HEX") == boot); // not shown: 21417 bytes
        EXPECT_EQ(text("elsewhere"), "not ours to write");
        EXPECT_EQ(text("fw/F2ZE0529.HEX"), "old main");
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator("fw"))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"F2ZE0529.HEX", "FLS0228.HEX"}));

        if (mounted) {
            EXPECT_EQ(std::system("umount fw"), 0);
            mounted = false;
            continue;
        }
        const ToolRun done = RunTool("tollander-mkfirmware", "fw");
        ASSERT_EQ(done.status, 0) << done.output;
        EXPECT_TRUE(text("fw/FLS0228.HEX") == boot);
        EXPECT_TRUE(text("fw/F2ZE0529.HEX") == main_code);
        EXPECT_TRUE(ReadBytes("fw/ALERT.WAV") == wav);
        EXPECT_EQ(platform::ReadFileDosTime("fw/F2ZE0529.HEX"), kMainHexDate);
        fs::remove_all("fw");
    }
#endif
}

TEST_F(PackTest, MkfirmwareDatesAndPackInspectRoundTrip) {
    EXPECT_EQ(platform::ReadFileDosTime("FLS0228.HEX"), kBootHexDate);
    EXPECT_EQ(platform::ReadFileDosTime("F2ZE0529.HEX"), kMainHexDate);
    EXPECT_EQ(fs::file_size("ALERT.WAV"), 27958u);

    const ToolRun pack = RunTool("tollander-pack", Base());
    ASSERT_EQ(pack.status, 0) << pack.output;
#ifndef _WIN32 // Windows keeps no mode bits
    EXPECT_EQ(fs::status("out").permissions() & fs::perms::all, fs::perms(0755));
#endif
    const auto out = ReadBytes("out");
    const auto program = ReadBytes("program");
    EXPECT_TRUE(std::equal(program.begin(), program.end(), out.begin()));
    // The digest block lies between the program and the sound.
    EXPECT_TRUE(std::equal(out.begin() + 4000, out.begin() + 4008, "TLDRDGST"));
    const auto wav = ReadBytes("ALERT.WAV");
    EXPECT_TRUE(std::equal(wav.begin(), wav.end(), out.begin() + 4112));

    const ToolRun inspect = RunTool("tollander-pack", "--inspect out");
    ASSERT_EQ(inspect.status, 0) << inspect.output;
    const auto boot = ReadBytes("FLS0228.HEX");
    const auto main_code = ReadBytes("F2ZE0529.HEX");
    const std::string tail = "Language     = English\n"
                             "Countries    = U.K. (4), Netherlands (7), Belgium (12)\n"
                             "Boot image   = FLS0228.HEX, 21417 bytes, 1997-02-28 12:09:00, "
                             "SHA-256 " +
                             Sha(boot.data(), boot.size()) +
                             "\n"
                             "Main image   = F2ZE0529.HEX, 619821 bytes, 1997-05-29 11:22:00, "
                             "SHA-256 " +
                             Sha(main_code.data(), main_code.size()) +
                             "\n"
                             "Integrity    = digest block, format 2\n"
                             // The tool judges as this build's programs, which carry
                             // the sample vendor's key.
                             "Signature    = none: this program refuses unsigned flashers\n"
                             "Check        = refused, failure code -8: the flasher is not "
                             "signed\n";
    EXPECT_TRUE(inspect.output.starts_with("Boot Length  = ")) << inspect.output;
    EXPECT_NE(inspect.output.find(tail), std::string::npos) << inspect.output;

    const ToolRun plain = RunTool("tollander-pack", "--inspect program");
    EXPECT_EQ(plain.status, 1);
    EXPECT_NE(plain.output.find("no sound payload"), std::string::npos) << plain.output;
    const ToolRun missing = RunTool("tollander-pack", "--inspect no-such-file");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("cannot open no-such-file: "), std::string::npos)
        << missing.output;
    EXPECT_EQ(missing.output.find("payload"), std::string::npos) << missing.output;

    // Without --boot and --sound: no boot image and the built-in alert.
    ASSERT_EQ(
        RunTool("tollander-pack", "-o main-only --program program --main F2ZE0529.HEX").status, 0);
    const Inspection only = InspectFile("main-only");
    EXPECT_FALSE(only.boot.present);
    EXPECT_EQ(only.main.expanded_size, 619821);
    EXPECT_EQ(only.record.BootLength, 0);
}

// A stale "out.partial" (the name earlier versions wrote to first) that is
// another user's, or no regular file at all, is not the packer's to delete
// or replace: it writes under a fresh name of its own and leaves no trace.
TEST_F(PackTest, WhatLiesBesideTheOutputIsLeftAlone) {
#ifdef _WIN32
    GTEST_SKIP() << "another user's file, a link and a FIFO, compared by lstat, are POSIX";
#else
    struct Case {
        const char* what;
        std::function<bool()> plant; // false: cannot be made here
    };
    const Case cases[] = {
        {"another user's file",
         [] {
             WriteText("out.partial", "theirs");
             return ::chown("out.partial", 65534, 65534) == 0;
         }},
        {"a link", [] { fs::create_symlink("program", "out.partial"); return true; }},
        {"a FIFO", [] { return ::mkfifo("out.partial", 0600) == 0; }},
        {"a directory",
         [] {
             fs::create_directory("out.partial");
             WriteText("out.partial/keep", "x");
             return true;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all("out");
        fs::remove_all("out.partial");
        if (!c.plant()) {
            std::printf("skipped (cannot be set up here): %s\n", c.what);
            continue;
        }
        struct stat before {};
        ASSERT_EQ(::lstat("out.partial", &before), 0);
        const ToolRun pack = RunTool("tollander-pack", Base());
        ASSERT_EQ(pack.status, 0) << pack.output;
        EXPECT_EQ(InspectFile("out").main.expanded_size, 619821);
        struct stat after {};
        ASSERT_EQ(::lstat("out.partial", &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        if (S_ISREG(after.st_mode)) {
            const auto theirs = ReadBytes("out.partial");
            EXPECT_EQ(std::string(theirs.begin(), theirs.end()), "theirs");
        }
        EXPECT_EQ(ReadBytes("program"), std::vector<std::uint8_t>(4000, 0x90));
        for (const auto& entry : fs::directory_iterator(Cwd()))
            EXPECT_FALSE(entry.path().filename().string().starts_with(".out"))
                << entry.path();
    }
#endif
}

TEST_F(PackTest, EveryFaultyInputIsRefusedBeforeWriting) {
    WriteText("badsum.hex", ":0400000001020304F1\r\n:00000001FF\r\n");
    WriteText("noeof.hex", ":0400000001020304F2\r\n");
    WriteText("norecord.hex", "0400000001020304F2\r\n:00000001FF\r\n");
    WriteText("count.hex", ":0500000001020304F2\r\n:00000001FF\r\n");
    WriteText("after.hex", ":00000001FF\r\n:0400000001020304F2\r\n");
    WriteText("empty.hex", "");
    WriteBytes("short.wav", std::vector<std::uint8_t>(1000, 0));
    WriteBytes("zero.wav", std::vector<std::uint8_t>(27958, 0));
    ASSERT_EQ(RunTool("tollander-pack", Base()).status, 0);
    fs::rename("out", "packed");
    // A real program (this one) with bytes added after it.
    fs::copy_file(platform::SelfPath(), "grown");
    std::ofstream("grown", std::ios::binary | std::ios::app) << "tail";

    struct Case {
        const char* extra;
        const char* says;
    };
    const Case cases[] = {
        {"--main badsum.hex", "badsum.hex: not a valid Intel HEX text: line 1: bad checksum"},
        {"--main noeof.hex", "noeof.hex: not a valid Intel HEX text: no end-of-file record"},
        {"--boot norecord.hex", "norecord.hex: not a valid Intel HEX text: line 1: bad record"},
        {"--boot count.hex", "count.hex: not a valid Intel HEX text: line 1: bad record"},
        {"--main after.hex", "after.hex: not a valid Intel HEX text: line 2"},
        {"--main empty.hex", "empty.hex: not a valid Intel HEX text: no end-of-file record"},
        {"--main missing.hex", "cannot open missing.hex: No such file or directory"},
        {"--sound short.wav", "short.wav: the sound must be a 27958-byte RIFF WAVE file"},
        {"--sound zero.wav", "zero.wav: not a RIFF WAVE file"},
        {"--boot-model xx1663011", "boot model \"xx1663011\" is longer than its field"},
        {"--main-model 123456789", "main model \"123456789\" is longer than its field"},
        {"--built-for 012345678901234567890123456789012345678901234567890", "built-for text"},
        {"--family 01234567890123456789012345678901234567890123456789", "family name"},
        {"--language nl", "unknown language \"nl\""},
        {"--countries 4,Atlantis", "unknown country \"Atlantis\""},
        {"--countries 50", "unknown country \"50\""},
        {"--countries Undefined", "unknown country \"Undefined\""},
        {"--program packed", "packed: the program already carries a payload"},
        {"--program grown", "grown: its headers give a program of"},
        {"--program nothing", "nothing: cannot open the program"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra);
        const ToolRun run = RunTool("tollander-pack", Base() + " " + c.extra);
        // A value no option takes is a usage error; a bad input file a failure.
        const std::string option = c.extra;
        const bool usage = option.starts_with("--language") || option.starts_with("--countries");
        EXPECT_EQ(run.status, usage ? 2 : 1);
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
        EXPECT_FALSE(fs::exists("out"));
        EXPECT_FALSE(fs::exists("out.partial"));
    }
}

// OUT is replaced whole, so it may be none of the inputs, by any name: the
// packer refuses before it writes anything, and the input stays as it was.
TEST_F(PackTest, AnOutputThatIsOneOfTheInputsIsRefused) {
    fs::create_directory("sub");
    const std::string rest = Base().substr(std::string("-o out ").size());
    struct Case {
        const char* input;
        std::string out; // another name for it
    };
    const Case cases[] = {
        {"program", "program"},
        {"FLS0228.HEX", "./FLS0228.HEX"},
        {"F2ZE0529.HEX", (Cwd() / "F2ZE0529.HEX").string()},
        {"ALERT.WAV", "sub/../ALERT.WAV"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        WriteBytes("program", std::vector<std::uint8_t>(4000, 0x90)); // whatever came before
        const auto before = ReadBytes(c.input);
        const ToolRun run = RunTool("tollander-pack", "-o \"" + c.out + "\" " + rest);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.output.find(c.out + " and --"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find(std::string(c.input) + " are the same file"), std::string::npos)
            << run.output;
        EXPECT_TRUE(ReadBytes(c.input) == before);
        for (const auto& entry : fs::directory_iterator(Cwd()))
            EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
    }
}

TEST(PackOptionsTest, CountriesByCodeOrName) {
    const auto flags = ParseCountries("4, netherlands ,12,49");
    for (int k = 0; k < payload::kCountryCount; ++k)
        EXPECT_EQ(flags[k], k == 4 || k == 7 || k == 12 || k == 49) << k;
    EXPECT_EQ(ParseCountries(""), (std::array<bool, payload::kCountryCount>{}));
    EXPECT_THROW(ParseCountries("4,,7"), PackError);
    EXPECT_THROW(ParseCountries("-1"), PackError);
    EXPECT_EQ(ParseLanguage("es"), 4);
    EXPECT_EQ(platform::FormatDosTime(kMainHexDate), "1997-05-29 11:22:00");
}

} // namespace
} // namespace tollander::tools
