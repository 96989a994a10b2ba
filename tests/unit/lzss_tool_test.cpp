// tollander-lzss as a user runs it: the built binary, files in a scratch
// directory, exit codes and messages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class LzssTool : public ::testing::Test {
protected:
    void SetUp() override {
        const char* bin = std::getenv("TOLLANDER_BIN");
        ASSERT_NE(bin, nullptr);
        tool_ = (fs::path(bin) / "tollander-lzss").string();
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
    // settings such as a file size limit).
    Run run(const std::string& args, const std::string& prefix = "") {
        const std::string d = dir_.string();
        const std::string cmd = "cd '" + d + "' && (" + prefix + " exec '" + tool_ + "' " + args +
                                ") >'" + d + "/.out' 2>'" + d + "/.err'; echo $? >'" + d + "/.rc'";
        if (std::system(cmd.c_str()) == -1) ADD_FAILURE() << "cannot run " << cmd;
        Run r{std::stoi(slurp(".rc")), slurp(".out"), slurp(".err")};
        for (const char* f : {".rc", ".out", ".err"})
            fs::remove(dir_ / f);
        return r;
    }

    std::string slurp(const std::string& name) {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    void put(const std::string& name, const std::string& data) {
        std::ofstream(dir_ / name, std::ios::binary) << data;
    }

    std::string tool_;
    fs::path dir_;
};

std::string hex_lines(int n) {
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
    const std::string data = hex_lines(2000);
    put("FLS0228.HEX", data);

    Run r = run("compress FLS0228.HEX");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(fs::exists(dir_ / "FLS0228.HE~"));
    EXPECT_LT(fs::file_size(dir_ / "FLS0228.HE~"), data.size() / 2);

    r = run("info FLS0228.HE~");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("stored name:       FLS0228.HEX"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("uncompressed size: " + std::to_string(data.size())), std::string::npos);

    r = run("info FLS0228.HEX");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("not an archive"), std::string::npos);

    // Default output: the stored name beside the archive; refused while it exists.
    r = run("expand FLS0228.HE~");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("FLS0228.HEX"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--force"), std::string::npos);
    EXPECT_EQ(slurp("FLS0228.HEX"), data);

    put("FLS0228.HEX", "stale");
    r = run("--force expand FLS0228.HE~");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp("FLS0228.HEX"), data);

    r = run("expand FLS0228.HE~ copy.hex");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp("copy.hex"), data);

    r = run("compress copy.hex packed.lz");
    ASSERT_EQ(r.status, 0) << r.err;
    r = run("compress copy.hex packed.lz");
    EXPECT_EQ(r.status, 1);
    r = run("compress copy.hex packed.lz --force");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(LzssTool, FailuresNameTheFileAndLeaveNoPartialOutput) {
    Run r = run("compress missing.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.bin"), std::string::npos);
    EXPECT_NE(r.err.find("No such file"), std::string::npos) << r.err;

    put("plain.txt", "just text");
    r = run("expand plain.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("plain.txt: not an archive"), std::string::npos) << r.err;

    r = run("frobnicate x");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown command 'frobnicate'"), std::string::npos) << r.err;

    // A write that fails part way (a 2 KB file size limit) leaves nothing.
    put("big.hex", hex_lines(3000));
    r = run("compress big.hex big.lz", "trap '' XFSZ; ulimit -f 4;");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("big.lz"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "big.lz"));

    ASSERT_EQ(run("compress big.hex big.lz").status, 0);
    r = run("expand big.lz big.out", "trap '' XFSZ; ulimit -f 4;");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(dir_ / "big.out"));

    // A failure before anything is written leaves an existing output alone.
    put("keep.out", "precious");
    r = run("--force expand nothing.lz keep.out");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(slurp("keep.out"), "precious");
}
