// The Intel HEX rules that the packer and the flasher share, fed as one piece
// and byte by byte, and the packer's memory on a one-line file of 256 MB.
#include "payload/intel_hex.h"
#include "tests/unit/payload_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tollander::payload {
namespace {

using namespace tollander::testing;

std::optional<std::string> Check(const std::string& text, std::size_t piece) {
    IntelHexValidator hex;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    for (std::size_t at = 0; at < text.size(); at += piece)
        if (!hex.Feed(bytes + at, std::min(piece, text.size() - at))) break;
    return hex.Finish();
}

// One data record of `count` bytes with a correct checksum.
std::string Record(unsigned count, unsigned type = 0) {
    char head[16];
    std::snprintf(head, sizeof head, ":%02X0000%02X", count, type);
    std::string line = head;
    unsigned sum = count + type;
    for (unsigned i = 0; i < count; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02X", i & 0xFF);
        line += b;
        sum += i & 0xFF;
    }
    char check[3];
    std::snprintf(check, sizeof check, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + check;
}

TEST(IntelHexTest, EveryRuleAsTheFlasherAndThePackerApplyIt) {
    const std::string eof = ":00000001FF";
    const std::string data = ":0400000001020304F2";
    struct Case {
        const char* what;
        std::string text;
        const char* fault; // nullptr: valid
    };
    const Case cases[] = {
        {"CR LF lines", data + "\r\n" + eof + "\r\n", nullptr},
        {"LF lines", data + "\n" + eof + "\n", nullptr},
        {"no line end after the last record", data + "\r\n" + eof, nullptr},
        {"line ends and DOS end-of-file bytes after the end", eof + "\r\n\r\n\n\x1A\x1A", nullptr},
        {"lower-case digits", ":0400000001020304f2\r\n" + eof, nullptr},
        {"the longest record", Record(255) + "\r\n" + eof, nullptr},
        {"address and start records", ":020000021000EC\r\n:0400000300003800C1\r\n" + eof, nullptr},
        {"empty text", "", "no end-of-file record"},
        {"no end-of-file record", data + "\r\n", "no end-of-file record"},
        {"text after the end", eof + "\r\n\r\n" + data + "\r\n",
         "line 3: text after the end-of-file record"},
        {"a space after the end", eof + "\r\n ", "line 2: text after the end-of-file record"},
        {"bad checksum", ":0400000001020304F1\r\n" + eof, "line 1: bad checksum"},
        {"no colon", "0400000001020304F2\r\n" + eof, "line 1: bad record (no ':' at the start)"},
        {"empty line", data + "\r\n\r\n" + eof, "line 2: bad record (no ':' at the start)"},
        {"odd digits", ":0400000001020304F\r\n" + eof, "line 1: bad record (length)"},
        {"too short", ":00000001\r\n" + eof, "line 1: bad record (length)"},
        {"count does not match", ":0500000001020304F1\r\n" + eof,
         "line 1: bad record (byte count does not match)"},
        {"not a digit", ":04000000010203G4F2\r\n" + eof,
         "line 1: bad record (not a hexadecimal digit)"},
        {"a CR inside a line", ":04000000\r01020304F2\r\n" + eof, "line 1: bad record (length)"},
        {"unknown type", ":00000006FA\r\n" + eof, "line 1: bad record (unknown type)"},
        {"end-of-file record with data", ":01000001AA54\r\n",
         "line 1: bad record (end-of-file record with data)"},
        {"address record length", ":0100000210ED\r\n" + eof,
         "line 1: bad record (address record length)"},
        {"start record length", ":020000030000FB\r\n" + eof,
         "line 1: bad record (start address record length)"},
        {"longer than any record", Record(255) + "00\r\n" + eof,
         "line 1: longer than any Intel HEX record"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, c.text.size() + 1}) {
            const auto fault = Check(c.text, piece);
            if (c.fault == nullptr)
                EXPECT_FALSE(fault) << *fault;
            else
                EXPECT_EQ(fault.value_or("valid"), c.fault);
        }
    }
}

TEST(IntelHexTest, AnOverlongLineIsRefusedAsSoonAsItIsSeen) {
    IntelHexValidator hex;
    const std::uint8_t colon = ':', zero = '0';
    ASSERT_TRUE(hex.Feed(&colon, 1));
    std::size_t fed = 1;
    while (hex.Feed(&zero, 1))
        ++fed;
    // The longest record and a CR fit; the byte after them does not.
    EXPECT_EQ(fed, kLongestHexRecord + 1);
    EXPECT_EQ(hex.Finish().value_or(""), "line 1: longer than any Intel HEX record");
}

#ifndef _WIN32
struct PackerRun {
    int status = -1;   // exit status; -1 when it did not exit
    long peak_kib = 0; // peak resident size
};

// tollander-pack on `program` and the Intel HEX file `main`, its output to
// `out`; its own output goes to /dev/null.
PackerRun RunPacker(const char* main, const char* out) {
    const char* bin = std::getenv("TOLLANDER_BIN");
    const std::string pack = std::string(bin ? bin : "bin") + "/tollander-pack";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(pack.c_str(), pack.c_str(), "-o", out, "--program", "program", "--main", main,
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    PackerRun run;
    int status = 0;
    rusage usage{};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) return run;
    if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.peak_kib = usage.ru_maxrss;
    return run;
}
#endif

// tollander-pack on one line of 256 MB: refused at once, in little more
// memory than it takes to pack a small valid file. The growth, not the
// figure itself: a sanitizer's fixed cost is in both runs.
TEST_F(ScratchWorld, PackerRefusesAHugeOneLineFileInBoundedMemory) {
#ifdef _WIN32
    GTEST_SKIP() << "measures the packer's peak memory with fork and wait4";
#else
    constexpr off_t kSize = off_t{256} << 20;
    {
        // ':' and zeros; a sparse file costs the disk nothing.
        const int fd = ::open("huge.hex", O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, ":", 1), 1);
        ASSERT_EQ(::ftruncate(fd, kSize), 0);
        ::close(fd);
    }
    WriteText("small.hex", Record(16) + "\r\n:00000001FF\r\n");
    WriteBytes("program", std::vector<std::uint8_t>(100, 0x90));

    const PackerRun small = RunPacker("small.hex", "small-out");
    ASSERT_EQ(small.status, 0) << "the baseline run must pack";
    const PackerRun huge = RunPacker("huge.hex", "out");
    EXPECT_EQ(huge.status, 1);
    EXPECT_FALSE(fs::exists("out"));
    std::printf("tollander-pack peak resident size: %ld KiB on a small file, %ld KiB on a "
                "256 MB line\n",
                small.peak_kib, huge.peak_kib);
    EXPECT_LT(huge.peak_kib - small.peak_kib, 4 * 1024);
#endif
}

} // namespace
} // namespace tollander::payload
