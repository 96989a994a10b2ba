// tollander-lzss as a user runs it: the built binary, files in a scratch
// directory, exit codes and messages.
#include "payload/archive.h"
#include "tests/unit/windows_tools.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

class LzssTool : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef _WIN32
        tool_ = tollander::testing::WindowsTool("tollander-lzss");
#else
        const char* bin = std::getenv("TOLLANDER_BIN");
        ASSERT_NE(bin, nullptr);
        tool_ = (fs::path(bin) / "tollander-lzss").string();
#endif
        ASSERT_TRUE(fs::exists(tool_));
        std::random_device rd;
        dir_ = fs::temp_directory_path() / ("tollander-lzss-tool-" + std::to_string(rd()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    struct Run {
        int status;
        std::string out;
        std::string err;
    };

    // Runs the tool in the scratch directory; `prefix` goes before it (shell
    // settings such as a file size limit), `launcher` runs it (a time limit).
    Run RunTool(const std::string& args, const std::string& prefix = "",
            const std::string& launcher = "") {
#ifdef _WIN32
        // The command shell has neither shell settings nor launchers.
        if (!prefix.empty() || !launcher.empty()) ADD_FAILURE() << "no POSIX shell here";
        const std::string d = tollander::testing::NativePath(dir_);
        const std::string cmd = "cd /d " + d + " && " + tool_ + " " + args + " >" + d +
                                "\\.out 2>" + d + "\\.err";
        Run r{std::system(cmd.c_str()), Slurp(".out"), Slurp(".err")};
        for (const char* f : {".out", ".err"})
            fs::remove(dir_ / f);
        return r;
#else
        const std::string d = dir_.string();
        const std::string cmd = "cd '" + d + "' && (" + prefix + " exec " + launcher + " '" +
                                tool_ + "' " + args +
                                ") >'" + d + "/.out' 2>'" + d + "/.err'; echo $? >'" + d + "/.rc'";
        if (std::system(cmd.c_str()) == -1) ADD_FAILURE() << "cannot run " << cmd;
        Run r{std::stoi(Slurp(".rc")), Slurp(".out"), Slurp(".err")};
        for (const char* f : {".rc", ".out", ".err"})
            fs::remove(dir_ / f);
        return r;
#endif
    }

    std::string Slurp(const std::string& name) {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    void Put(const std::string& name, const std::string& data) {
        std::ofstream(dir_ / name, std::ios::binary) << data;
    }

    // Every name under the scratch directory, hidden ones included, with
    // what it is: the content of a file, "<dir>", "<fifo>", "<device>" or
    // "-> target" for a link.
    std::map<std::string, std::string> Listing() {
        std::map<std::string, std::string> names;
        for (auto it = fs::recursive_directory_iterator(dir_); it != fs::end(it); ++it) {
            const std::string name = it->path().lexically_relative(dir_).string();
            const fs::file_status st = it->symlink_status();
            if (fs::is_symlink(st))
                names[name] = "-> " + fs::read_symlink(it->path()).string();
            else if (fs::is_directory(st))
                names[name] = "<dir>";
            else if (fs::is_fifo(st))
                names[name] = "<fifo>";
            else if (fs::is_character_file(st) || fs::is_block_file(st))
                names[name] = "<device>";
            else
                names[name] = AsListed(Slurp(name));
        }
        return names;
    }

    // A file's content as Listing() shows it: short enough to read in a failure.
    static std::string AsListed(const std::string& content) {
        char text[64];
        std::snprintf(text, sizeof text, "%zu bytes #%016zx", content.size(),
                      std::hash<std::string>{}(content));
        return text;
    }

    std::string tool_;
    fs::path dir_;
};

std::string HexLines(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, ":10%04X0000FFFF1234FFFFFFFF5678FFFFFFFF9ABCFF%02X\r\n",
                      (i * 16) & 0xFFFF, i & 0xFF);
        s += line;
    }
    return s;
}

} // namespace

TEST_F(LzssTool, CompressExpandInfoRoundTrip) {
    const std::string data = HexLines(2000);
    Put("FLS0228.HEX", data);

    Run r = RunTool("compress FLS0228.HEX");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(fs::exists(dir_ / "FLS0228.HE~"));
    EXPECT_LT(fs::file_size(dir_ / "FLS0228.HE~"), data.size() / 2);

    r = RunTool("info FLS0228.HE~");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("stored name:       FLS0228.HEX"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("uncompressed size: " + std::to_string(data.size())), std::string::npos);

    r = RunTool("info FLS0228.HEX");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("not an archive"), std::string::npos);

    // Default output: the stored name beside the archive; refused while it exists.
    r = RunTool("expand FLS0228.HE~");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("FLS0228.HEX"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--force"), std::string::npos);
    EXPECT_EQ(Slurp("FLS0228.HEX"), data);

    Put("FLS0228.HEX", "stale");
    r = RunTool("--force expand FLS0228.HE~");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp("FLS0228.HEX"), data);

    r = RunTool("expand FLS0228.HE~ copy.hex");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp("copy.hex"), data);

    r = RunTool("compress copy.hex packed.lz");
    ASSERT_EQ(r.status, 0) << r.err;
    r = RunTool("compress copy.hex packed.lz");
    EXPECT_EQ(r.status, 1);
    r = RunTool("compress copy.hex packed.lz --force");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(LzssTool, FailuresNameTheFileAndLeaveNoPartialOutput) {
    Run r = RunTool("compress missing.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.bin"), std::string::npos);
#ifdef _WIN32 // Windows' own reason, in Wine's words or Windows'
    EXPECT_TRUE(r.err.find("File not found") != std::string::npos ||
                r.err.find("cannot find the file") != std::string::npos)
        << r.err;
#else
    EXPECT_NE(r.err.find("No such file"), std::string::npos) << r.err;
#endif

    Put("plain.txt", "just text");
    r = RunTool("expand plain.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("plain.txt: not an archive"), std::string::npos) << r.err;

    r = RunTool("frobnicate x");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown command 'frobnicate'"), std::string::npos) << r.err;

#ifndef _WIN32 // Windows has no file size limit to play the full disk with
    // A write that fails part way (a 2 KB file size limit) leaves nothing.
    Put("big.hex", HexLines(3000));
    r = RunTool("compress big.hex big.lz", "trap '' XFSZ; ulimit -f 4;");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("big.lz"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "big.lz"));

    ASSERT_EQ(RunTool("compress big.hex big.lz").status, 0);
    r = RunTool("expand big.lz big.out", "trap '' XFSZ; ulimit -f 4;");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(dir_ / "big.out"));
#endif

    // A failure before anything is written leaves an existing output alone.
    Put("keep.out", "precious");
    r = RunTool("--force expand nothing.lz keep.out");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Slurp("keep.out"), "precious");
}

#ifndef _WIN32
namespace {

std::string ArchiveOf(const std::string& name, const std::string& data) {
    const fs::path dir = fs::temp_directory_path() / ("lzss-tool-src-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary) << data;
    tollander::payload::LZCompressFile((dir / name).string(), (dir / "a.lz").string());
    std::ifstream in(dir / "a.lz", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    fs::remove_all(dir);
    return ss.str();
}

} // namespace
#endif

// Bad luck and careless hands: each case starts from a fresh directory, and
// afterwards every name in it is as it should be (no partial file, no
// temporary left, nothing written through a link or into a special file).
TEST_F(LzssTool, RefusalsAndFailuresLeaveEveryFileAsItWas) {
#ifdef _WIN32
    GTEST_SKIP() << "device nodes, FIFOs, links, a small mount, file size and time limits";
#else
    const std::string data = HexLines(3000);
    const std::string other = HexLines(40);
    const std::string archive = ArchiveOf("ORIG.HEX", data);
    const std::string other_archive = ArchiveOf("OTHER.HEX", other);
    const std::string cut = archive.substr(0, archive.size() / 2);
    const std::string padded = archive + std::string(100, '\0');
    // A body as long as stored that expands past the stored size: one
    // stored byte (and its name) changed.
    std::string over = archive;
    over[13] = static_cast<char>(static_cast<unsigned char>(over[13]) - 1);

    // Device nodes of our own (as /dev/zero and /dev/null), so that a fault
    // could never replace a system file.
    auto devices = [&] {
        return ::mknod((dir_ / "zero").c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0 &&
               ::mknod((dir_ / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    };
    bool mounted = false;

    struct Case {
        const char* what;
        std::function<bool()> setup; // false: cannot be set up here, skipped
        std::string args;
        int status;
        std::string says; // in stderr
        std::map<std::string, std::string> after;
        std::string shell = ""; // settings the tool starts under
    };
    const std::string stale = "precious old output";
    const Case cases[] = {
        {"output through a link and ..",
         [&] {
             fs::create_directories(dir_ / "real/deep");
             fs::create_directory_symlink("real/deep", dir_ / "lnk");
             Put("real/a.lz", archive);
             return true;
         },
         "--force expand real/a.lz lnk/../a.lz", 1, "real/a.lz and lnk/../a.lz are the same file",
         {{"real", "<dir>"}, {"real/deep", "<dir>"}, {"lnk", "-> real/deep"},
          {"real/a.lz", AsListed(archive)}}},
        {"input through a link and .., default output beside what was read",
         [&] {
             fs::create_directories(dir_ / "real/deep");
             fs::create_directory_symlink("real/deep", dir_ / "lnk");
             Put("real/a.lz", archive);
             Put("a.lz", other_archive);
             return true;
         },
         "expand lnk/../a.lz", 0, "",
         {{"real", "<dir>"}, {"real/deep", "<dir>"}, {"lnk", "-> real/deep"},
          {"real/a.lz", AsListed(archive)}, {"a.lz", AsListed(other_archive)}, {"real/ORIG.HEX", AsListed(data)}}},
        {"truncated archive", [&] { Put("a.lz", cut); return true; }, "expand a.lz out.hex", 1,
         "a.lz: truncated or damaged archive", {{"a.lz", AsListed(cut)}}},
        {"truncated archive, --force over an old output",
         [&] { Put("a.lz", cut); Put("out.hex", stale); return true; },
         "--force expand a.lz out.hex", 1, "a.lz: truncated or damaged archive",
         {{"a.lz", AsListed(cut)}, {"out.hex", AsListed(stale)}}},
        {"body longer than its size", [&] { Put("a.lz", padded); return true; },
         "expand a.lz out.hex", 1, "a.lz: truncated or damaged archive", {{"a.lz", AsListed(padded)}}},
        {"expands past its stored size", [&] { Put("a.lz", over); return true; },
         "expand a.lz out.hex", 1, "a.lz: truncated or damaged archive", {{"a.lz", AsListed(over)}}},
        {"--force on a full disk keeps the old output",
         [&] {
             Put("a.lz", archive);
             fs::create_directory(dir_ / "small");
             const std::string mount =
                 "mount -t tmpfs -o size=64k tmpfs '" + (dir_ / "small").string() + "' 2>/dev/null";
             mounted = std::system(mount.c_str()) == 0;
             if (mounted) Put("small/out.hex", stale);
             return mounted;
         },
         "--force expand a.lz small/out.hex", 1, "No space left on device",
         {{"a.lz", AsListed(archive)}, {"small", "<dir>"}, {"small/out.hex", AsListed(stale)}}},
        {"--force under a file-size limit (the default action of SIGXFSZ kills)",
         [&] {
             Put("a.lz", archive);
             Put("out.hex", stale);
             return true;
         },
         "--force expand a.lz out.hex", 1, "out.hex: File too large",
         {{"a.lz", AsListed(archive)}, {"out.hex", AsListed(stale)}}, "trap - XFSZ; ulimit -f 8;"},
        {"FIFO as input",
         [&] { return ::mkfifo((dir_ / "fifo").c_str(), 0600) == 0; },
         "compress fifo out.lz", 1, "fifo: not a regular file (a FIFO)", {{"fifo", "<fifo>"}}},
        {"device as input", devices, "compress zero out.lz", 1,
         "zero: not a regular file (a device)", {{"zero", "<device>"}, {"null", "<device>"}}},
        {"directory as input", [&] { return fs::create_directory(dir_ / "d"); },
         "compress d out.lz", 1, "d: not a regular file (a directory)", {{"d", "<dir>"}}},
        {"FIFO as output",
         [&] { Put("in.hex", other); return ::mkfifo((dir_ / "fifo").c_str(), 0600) == 0; },
         "--force compress in.hex fifo", 1, "fifo: not a regular file (a FIFO)",
         {{"in.hex", AsListed(other)}, {"fifo", "<fifo>"}}},
        {"device as output", [&] { Put("in.hex", other); return devices(); },
         "--force compress in.hex null", 1, "null: not a regular file (a device)",
         {{"in.hex", AsListed(other)}, {"zero", "<device>"}, {"null", "<device>"}}},
        {"directory as output",
         [&] { Put("in.hex", other); return fs::create_directory(dir_ / "d"); },
         "--force expand in.hex d", 1, "d: not a regular file (a directory)",
         {{"in.hex", AsListed(other)}, {"d", "<dir>"}}},
        {"output that is a link is replaced, its target kept",
         [&] {
             Put("a.lz", archive);
             Put("target", stale);
             fs::create_symlink("target", dir_ / "out.hex");
             return true;
         },
         "--force expand a.lz out.hex", 0, "",
         {{"a.lz", AsListed(archive)}, {"target", AsListed(stale)}, {"out.hex", AsListed(data)}}},
        {"output that is a link to the input",
         [&] {
             Put("a.lz", archive);
             fs::create_symlink("a.lz", dir_ / "out.hex");
             return true;
         },
         "--force expand a.lz out.hex", 1, "a.lz and out.hex are the same file",
         {{"a.lz", AsListed(archive)}, {"out.hex", "-> a.lz"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(dir_))
            fs::remove_all(entry.path());
        if (!c.setup()) {
            std::printf("skipped (cannot be set up here): %s\n", c.what);
            continue;
        }
        // A tool that waited on a FIFO or read a device without end would
        // be stopped here, and fail.
        const Run r = RunTool(c.args, c.shell, "timeout 60");
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.says.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        }
        EXPECT_EQ(Listing(), c.after);
        if (mounted) {
            EXPECT_EQ(std::system(("umount '" + (dir_ / "small").string() + "'").c_str()), 0);
            mounted = false;
        }
    }
#endif
}
