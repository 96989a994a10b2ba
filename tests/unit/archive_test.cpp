#include "payload/archive.h"
#include "payload/lzss.h"
#include "platform/fs/dos_time.h"
#include "platform/fs/files.h"
#include "platform/fs/io_error.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

using namespace tollander::payload;
using tollander::platform::EAbort;
using tollander::platform::EInOutError;
using tollander::platform::File;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint32_t kFeb28 = 0x225C6120; // 1997-02-28 12:09:00

class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        dir_ = fs::temp_directory_path() / ("tollander-codec-" + std::to_string(rd()));
        fs::create_directories(dir_);
        ResetCallbacks();
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    std::string Write(const std::string& name, const Bytes& data,
                      std::uint32_t date = kFeb28) const {
        std::ofstream(Path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
        tollander::platform::WriteFileDosTime(Path(name), date);
        return Path(name);
    }

    static Bytes Read(const std::string& name) {
        std::ifstream in(name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    static Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

    // The callbacks are plain function pointers: they report through these.
    static void ResetCallbacks() {
        answer = 1;
        queries.clear();
        progress.clear();
        names_at_progress.clear();
    }
    static std::uint8_t Query(const TLZReportRec& report, const std::string& output) {
        queries.push_back(report);
        query_output = output;
        return answer;
    }
    static void OnProgress(const TLZReportRec& report, std::int32_t count) {
        progress.push_back(count);
        names_at_progress.push_back(report.file_name);
    }

    static inline std::uint8_t answer = 1;
    static inline std::vector<TLZReportRec> queries;
    static inline std::string query_output;
    static inline std::vector<std::int32_t> progress;
    static inline std::vector<std::string> names_at_progress;

    fs::path dir_;
};

Bytes SampleHex(std::size_t n) {
    std::string s;
    for (unsigned a = 0; s.size() < n; a += 16) {
        char line[48];
        std::snprintf(line, sizeof line, ":10%04X0000112233445566778899AABBCCDDEEFF%02X\r\n",
                      a & 0xFFFF, a & 0xFF);
        s += line;
    }
    s.resize(n);
    return Bytes(s.begin(), s.end());
}

} // namespace

TEST_F(ArchiveTest, HeaderFieldsAtTheirOffsets) {
    const Bytes data = SampleHex(5000);
    const std::string in = Write("LONGFILENAME1234.HEX", data);
    const std::string out = Path("a.lz");
    const std::int32_t result = LZCompressFile(in, out);
    const Bytes archive = Read(out);
    ASSERT_EQ(result, static_cast<std::int32_t>(archive.size()));
    auto u32 = [&](std::size_t at) {
        return std::uint32_t(archive[at]) | archive[at + 1] << 8 | archive[at + 2] << 16 |
               std::uint32_t(archive[at + 3]) << 24;
    };
    EXPECT_EQ(archive[0], 12);
    EXPECT_EQ(std::string(archive.begin() + 1, archive.begin() + 13), "LONGFILENAME");
    EXPECT_EQ(u32(13), 5000u);
    EXPECT_EQ(u32(17), archive.size() - 43);
    EXPECT_EQ(u32(21), kFeb28);
    EXPECT_EQ(archive[25], 1);
    EXPECT_EQ(archive[26], '0');
    EXPECT_EQ(std::count(archive.begin() + 27, archive.begin() + 34, 0), 7);
    EXPECT_EQ(archive[34], 8);
    EXPECT_EQ(std::string(archive.begin() + 35, archive.begin() + 43), "aBriskM#");
    EXPECT_EQ(Bytes(archive.begin() + 43, archive.end()), LzssEncode(data));
    EXPECT_EQ(tollander::platform::ReadFileDosTime(out), kFeb28);

    // Expanding by default writes the cut name beside the archive, dated.
    EXPECT_EQ(LZDecompressFileDefault(out), 5000);
    EXPECT_EQ(Read(Path("LONGFILENAME")), data);
    EXPECT_EQ(tollander::platform::ReadFileDosTime(Path("LONGFILENAME")), kFeb28);
}

TEST_F(ArchiveTest, EmptyInputGivesBareHeaderAndExpandsToEmpty) {
    const std::string in = Write("EMPTY.BIN", {});
    EXPECT_EQ(LZCompressFileDefault(in), 43);
    const Bytes archive = Read(Path("EMPTY.BI~"));
    ASSERT_EQ(archive.size(), 43u);
    EXPECT_EQ(archive[17] | archive[18] | archive[19] | archive[20], 0);
    fs::remove(in);
    EXPECT_EQ(LZDecompressFile(Path("EMPTY.BI~"), Path("back")), 0);
    EXPECT_TRUE(fs::exists(Path("back")));
    EXPECT_EQ(fs::file_size(Path("back")), 0u);
}

TEST_F(ArchiveTest, RecognitionAndPlainCopies) {
    ArchiveHeader h;
    h.file_name = "X.HEX";
    const auto good = EncodeHeader(h);
    EXPECT_TRUE(DecodeHeader(good).has_value());

    struct Case {
        const char* what;
        std::size_t offset;
        std::uint8_t value;
    } cases[] = {{"name length 0", 0, 0},
                 {"signature length 7", 34, 7},
                 {"signature letter", 35, 'A'},
                 {"last signature letter", 42, '$'}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto bytes = good;
        bytes[c.offset] = c.value;
        Bytes file(bytes.begin(), bytes.end());
        file.insert(file.end(), {0xFF, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0});
        EXPECT_FALSE(DecodeHeader(bytes).has_value());
        // Not an archive: expanding copies it unchanged, with its own date.
        const std::string in = Write("odd.bin", file, kFeb28);
        fs::remove(Path("copy.bin"));
        EXPECT_EQ(LZDecompressFile(in, Path("copy.bin")), static_cast<std::int32_t>(file.size()));
        EXPECT_EQ(Read(Path("copy.bin")), file);
        EXPECT_EQ(tollander::platform::ReadFileDosTime(Path("copy.bin")), kFeb28);
    }
    EXPECT_FALSE(DecodeHeader(std::span(good).first(42)).has_value());

    // A real archive is never compressed twice: it is copied unchanged.
    const std::string in = Write("DATA.HEX", SampleHex(3000));
    LZCompressFile(in, Path("DATA.HE~"));
    const Bytes archive = Read(Path("DATA.HE~"));
    EXPECT_EQ(LZCompressFile(Path("DATA.HE~"), Path("again")),
              static_cast<std::int32_t>(archive.size()));
    EXPECT_EQ(Read(Path("again")), archive);

    File f = File::OpenRead(Path("again"));
    f.Seek(17);
    EXPECT_TRUE(LZIsCompressed(f));
    EXPECT_EQ(f.Position(), 17);
    EXPECT_EQ(LZStoredName(Path("again")), "DATA.HEX");
    EXPECT_EQ(LZStoredName(in), in);
}

TEST_F(ArchiveTest, CompressedNames) {
    const std::pair<const char*, const char*> cases[] = {{"FLS0228.HEX", "FLS0228.HE~"},
                                                         {"a.b", "a.~"},
                                                         {"name", "name.~"},
                                                         {"name.", "name.~"},
                                                         {"dir.d/file", "dir.d/file.~"},
                                                         {"x.tar.gz", "x.tar.g~"}};
    for (const auto& [in, out] : cases)
        EXPECT_EQ(LZCompressedName(in), out) << in;
    EXPECT_EQ(LZVersionString("/bin/sh"), "0");
    EXPECT_EQ(FileVersionInfo("/bin/sh", "FileVersion"), "");
}

TEST_F(ArchiveTest, OverwriteAnswers) {
    const Bytes data = SampleHex(2000);
    const std::string in = Write("IN.HEX", data);
    const std::string arc = Path("IN.HE~");
    const Bytes old = Text("old contents");

    // Compressing goes on only on 1.
    for (std::uint8_t a : {0, 2, 7, 1}) {
        SCOPED_TRACE(int(a));
        Write("IN.HE~", old);
        ResetCallbacks();
        answer = a;
        const std::int32_t r = LZCompressFile(in, arc, Query, nullptr);
        ASSERT_EQ(queries.size(), 1u);
        EXPECT_EQ(query_output, arc);
        EXPECT_EQ(queries[0].first_size, 2000);
        EXPECT_EQ(queries[0].file_name, in);
        if (a == 1) {
            EXPECT_GT(r, 43);
            EXPECT_EQ(r, static_cast<std::int32_t>(fs::file_size(arc)));
        } else {
            EXPECT_EQ(r, -100);
            EXPECT_EQ(Read(arc), old);
        }
    }
    const Bytes archive = Read(arc);

    // Expanding cancels on 0, aborts silently on 2, goes on otherwise.
    for (std::uint8_t a : {0, 1, 2, 7}) {
        SCOPED_TRACE(int(a));
        Write("OUT.HEX", old);
        ResetCallbacks();
        answer = a;
        if (a == 2) {
            EXPECT_THROW(LZDecompressFile(arc, Path("OUT.HEX"), Query, nullptr), EAbort);
        } else {
            const std::int32_t r = LZDecompressFile(arc, Path("OUT.HEX"), Query, nullptr);
            EXPECT_EQ(r, a == 0 ? -100 : 2000);
        }
        ASSERT_EQ(queries.size(), 1u);
        EXPECT_EQ(queries[0].file_name, "IN.HEX");
        EXPECT_EQ(queries[0].first_size, static_cast<std::int32_t>(archive.size() - 43));
        EXPECT_EQ(queries[0].second_size, 2000);
        EXPECT_EQ(queries[0].file_date, kFeb28);
        EXPECT_EQ(Read(Path("OUT.HEX")), a == 0 || a == 2 ? old : data);
    }

    // No query when the output does not exist yet.
    ResetCallbacks();
    fs::remove(arc);
    EXPECT_GT(LZCompressFile(in, arc, Query, nullptr), 43);
    EXPECT_TRUE(queries.empty());
}

TEST_F(ArchiveTest, ProgressReportsBlocksAndEndsWithMinusTwo) {
    const Bytes data = SampleHex(70000);
    const std::string in = Write("BIG.HEX", data);
    LZCompressFile(in, Path("BIG.HE~"), nullptr, OnProgress);
    EXPECT_EQ(progress, (std::vector<std::int32_t>{-1, 32000, 32000, 6000, -2}));
    EXPECT_EQ(names_at_progress.front(), in);
    EXPECT_EQ(names_at_progress.back(), "");

    ResetCallbacks();
    LZDecompressFile(Path("BIG.HE~"), Path("BIG.OUT"), nullptr, OnProgress);
    EXPECT_EQ(progress, (std::vector<std::int32_t>{-1, 32000, 32000, 6000, -2}));
    EXPECT_EQ(names_at_progress.front(), Path("BIG.OUT"));
    EXPECT_EQ(names_at_progress.back(), "");

    // -2 also after a failure (a directory is refused as input before the
    // progress starts, so the output fails here).
    ResetCallbacks();
    EXPECT_THROW(LZCompressFile(in, Path("no-such-dir/BIG.OUT"), nullptr, OnProgress),
                 EInOutError);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), -2);
}

TEST_F(ArchiveTest, ParameterAndFileErrors) {
    const std::string in = Write("IN.HEX", SampleHex(1000));
    auto number = [](auto&& call) {
        try {
            call();
        } catch (const EBriskLZError& e) {
            return e.Number();
        }
        return 0;
    };
    EXPECT_EQ(number([&] { LZCompressFile("", Path("x")); }), 40003);
    EXPECT_EQ(number([&] { LZDecompressFile(in, ""); }), 40003);
    EXPECT_EQ(number([&] { LZCompressFile(in, Path("in.hex")); }), 40004);
    EXPECT_EQ(number([&] { LZDecompressFile(in, Path("IN.HEX")); }), 40004);
    try {
        LZCompressFile(in, in);
        FAIL();
    } catch (const EBriskLZCompress& e) {
        EXPECT_EQ(std::string(e.what()), "File " + in + " specified for both Input and Output");
    }

    // Expanding a missing file reads the archive under its compressed name,
    // which must store the requested name.
    LZCompressFile(in, Path("OTHER.HE~"));
    fs::rename(Path("OTHER.HE~"), Path("GONE.HE~"));
    try {
        LZDecompressFile(Path("GONE.HEX"), Path("out"));
        FAIL();
    } catch (const EBriskLZCompress& e) {
        EXPECT_EQ(e.Number(), 40006);
        EXPECT_EQ(std::string(e.what()), "Wrong compressed file: IN.HEX");
    }
    fs::rename(Path("GONE.HE~"), Path("IN.HE~"));
    fs::remove(in);
    EXPECT_EQ(LZDecompressFile(in, Path("out")), 1000);
    EXPECT_EQ(LZDecompressFileDefault(in), 1000);
    EXPECT_TRUE(fs::exists(in));

    // Sizes and results are 32-bit: a larger input is refused before anything is written.
    {
        std::ofstream(Path("huge.bin"));
        fs::resize_file(Path("huge.bin"), std::uintmax_t{1} << 31); // sparse
        try {
            LZCompressFile(Path("huge.bin"), Path("huge.lz"));
            FAIL();
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.ErrorCode, EFBIG);
        }
        EXPECT_FALSE(fs::exists(Path("huge.lz")));
    }

    EXPECT_THROW(LZCompressFile(Path("missing"), Path("m.out")), EInOutError);
    EXPECT_FALSE(fs::exists(Path("m.out")));
    try {
        LZCompressFile(in, Path("no/such/dir/out"));
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, ENOENT);
        EXPECT_NE(std::string(e.what()).find("no/such/dir/out"), std::string::npos);
    }
}

TEST_F(ArchiveTest, SameFileUnderAnotherNameIsRefusedAndKept) {
#ifdef _WIN32
    GTEST_SKIP() << "no symbolic links under Wine";
#endif
    const Bytes data = SampleHex(4000);
    const std::string in = Write("KEEP.HEX", data);
    fs::create_hard_link(in, Path("link.hex"));
    fs::create_symlink(in, Path("sym.hex"));
    for (const std::string& other : {Path("link.hex"), Path("sym.hex"), Path("./KEEP.HEX")}) {
        SCOPED_TRACE(other);
        try {
            LZCompressFile(in, other);
            FAIL();
        } catch (const EBriskLZCompress& e) {
            EXPECT_EQ(e.Number(), 40004);
        }
        EXPECT_EQ(Read(in), data);
    }

    // The archive that expanding falls back to must not be the output either.
    LZCompressFile(in, Path("KEEP.HE~"));
    const Bytes archive = Read(Path("KEEP.HE~"));
    fs::remove(in);
    fs::remove(Path("link.hex"));
    try {
        LZDecompressFile(in, Path("KEEP.HE~"));
        FAIL();
    } catch (const EBriskLZCompress& e) {
        EXPECT_EQ(e.Number(), 40004);
    }
    EXPECT_EQ(Read(Path("KEEP.HE~")), archive);
}

// The format has no checksum: a cut or padded archive is caught by its
// stored sizes, and what it would have expanded to is not left behind.
TEST_F(ArchiveTest, ArchivesThatDoNotMatchTheirSizesAreDamaged) {
    const Bytes data = SampleHex(70000); // more than one 32000-byte block
    LZCompressFile(Write("IMG.HEX", data), Path("good.lz"));
    const Bytes good = Read(Path("good.lz"));
    Bytes over = good; // one byte less stored than the body expands to
    over[13] -= 1;
    Bytes under = good; // one byte more stored than the body expands to
    under[13] += 1;
    Bytes last_cut = good; // the body's length stored one short
    last_cut[17] -= 1;
    last_cut.pop_back();
    struct Case {
        const char* what;
        Bytes file;
        const char* says;
    };
    const Case cases[] = {
        {"cut in half", Bytes(good.begin(), good.begin() + good.size() / 2), "its body ends after"},
        {"cut to its header", Bytes(good.begin(), good.begin() + kHeaderSize), "its body ends"},
        {"padded", [&] { Bytes b = good; b.push_back(0); return b; }(), "runs 1 bytes past"},
        {"expands past its size", over, "expands past its stored size"},
        {"expands short of its size", under, "expands to 70000 of its 70001 bytes"},
        {"last item cut, sizes matching the cut", last_cut, "expands to"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string in = Write("bad.lz", c.file);
        try {
            LZDecompressFile(in, Path("out.hex"));
            ADD_FAILURE() << "expanded";
        } catch (const EBriskLZDamaged& e) {
            EXPECT_EQ(e.Number(), 40007);
            EXPECT_NE(std::string(e.what()).find(in + ": truncated or damaged archive ("),
                      std::string::npos)
                << e.what();
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
        EXPECT_FALSE(fs::exists(Path("out.hex")));
    }
    EXPECT_EQ(LZDecompressFile(Path("good.lz"), Path("out.hex")), 70000);
    EXPECT_EQ(Read(Path("out.hex")), data);
}

TEST_F(ArchiveTest, StoredNameCannotLeaveTheDirectory) {
    for (const char* stored : {"..", ".", "a/..", "sub/"}) {
        SCOPED_TRACE(stored);
        ArchiveHeader h;
        h.file_name = stored;
        const auto header = EncodeHeader(h);
        const std::string arc = Write("evil.lz", Bytes(header.begin(), header.end()));
        try {
            LZDecompressFileDefault(arc);
            FAIL();
        } catch (const EBriskLZCompress& e) {
            EXPECT_EQ(e.Number(), 40006);
        }
    }
    // A directory part in the stored name is dropped.
    ArchiveHeader h;
    h.file_name = "../x.txt";
    h.uncompressed_size = 1;
    h.body_size = 3;
    const auto header = EncodeHeader(h);
    Bytes file(header.begin(), header.end());
    file.insert(file.end(), {0x01, 'A', 0x00});
    fs::create_directory(Path("sub"));
    const std::string arc = (dir_ / "sub" / "evil.lz").string();
    std::ofstream(arc, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), 46);
    EXPECT_EQ(LZDecompressFileDefault(arc), 1);
    EXPECT_TRUE(fs::exists(dir_ / "sub" / "x.txt"));
    EXPECT_FALSE(fs::exists(Path("x.txt")));
}

TEST_F(ArchiveTest, MyFCopyCountsAndErrors) {
    const std::string in = Write("src", SampleHex(70000));
    File src = File::OpenRead(in);
    File dst = File::Create(Path("dst"));
    ResetCallbacks();
    EXPECT_EQ(MyFCopy(src, dst, 40000, CopySide::Input, OnProgress, nullptr), 40000);
    EXPECT_EQ(progress, (std::vector<std::int32_t>{32000, 8000}));
    EXPECT_EQ(MyFCopy(src, dst, -1, CopySide::Output), 30000);
    EXPECT_THROW(MyFCopy(src, dst, -2, CopySide::Input), EBriskLZDebug);
    src.Seek(69990);
    try {
        MyFCopy(src, dst, 11, CopySide::Input);
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, 100);
        EXPECT_EQ(std::string(e.what()), "Read beyond end of file");
    }
}

TEST_F(ArchiveTest, LZObjPicksTheOperations) {
    const Bytes data = SampleHex(3000);
    const std::string in = Write("OBJ.HEX", data);
    {
        LZObj obj(in, "");
        EXPECT_GT(obj.Compress(), 43);
    }
    fs::remove(in);
    {
        LZObj obj(Path("OBJ.HE~"), Path("OBJ.OUT"));
        obj.ProgressProc = OnProgress;
        EXPECT_EQ(obj.Decompress(), 3000);
        EXPECT_EQ(Read(Path("OBJ.OUT")), data);
    }
    {
        LZObj obj(Path("OBJ.HE~"), "");
        EXPECT_EQ(obj.Decompress(), 3000);
        EXPECT_EQ(Read(in), data);
    }
    LZObj empty("", "x");
    EXPECT_EQ(empty.Compress(), -100);
    EXPECT_EQ(empty.Decompress(), -100);
    EXPECT_EQ(LZDecompressFileDefault(""), 0);
}
