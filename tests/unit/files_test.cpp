#include "platform/fs/files.h"

#include "platform/fs/dos_error.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

using namespace tollander::platform;
namespace fs = std::filesystem;

namespace {

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tollander-files-" +
                std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "dir.HEX");
        write("b.txt", "12345");
        write(".hidden.hex", "hidden");
        fs::permissions(dir_ / ".hidden.hex",
                        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
    void TearDown() override {
        // Windows removes no read-only file.
        fs::permissions(dir_ / ".hidden.hex", fs::perms::owner_write, fs::perm_options::add);
        fs::remove_all(dir_);
    }

    void write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }
    std::string at(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

// What the protocol says of the path it is given, before it opens it.
TEST_F(Files, LocateFileTellsAFileFromWhatIsMissing) {
    const std::pair<std::string, int> cases[] = {
        {"b.txt", 0},                  // a file
        {".hidden.hex", 0},            // hidden and read-only
        {"nofile.hex", -2},            // missing
        {"dir.HEX", -2},               // a directory
        {"", -2},                      // the directory alone
        {"missing/nofile.hex", -6004}, // the directory is missing
        {"b.txt/nofile", -6004},       // a file is no directory
    };
    for (const auto& [name, code] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(LocateFile(at(name)), code);
    }
}

// The file the protocol sends, as it reads it: reads short only at
// the end, and failures as DOS-style numbers.
TEST_F(Files, ReadsToTheEndAndReportsDosCodes) {
    File file = File::OpenRead(at(".hidden.hex")); // read-only file
    ASSERT_TRUE(file.Valid());
    EXPECT_EQ(file.Size(), 6);
    EXPECT_NE(file.DosTime(), 0u);
    char buffer[8];
    EXPECT_EQ(file.ReadFull(buffer, 4), 4u);
    EXPECT_EQ(file.ReadFull(buffer + 4, 4), 2u); // short only at the end
    EXPECT_EQ(std::string(buffer, 6), "hidden");
    EXPECT_EQ(file.ReadFull(buffer, 4), 0u);
    file.Close();
    EXPECT_FALSE(file.Valid());
    try {
        file.ReadFull(buffer, 1);
        ADD_FAILURE() << "a closed file was read";
    } catch (const EInOutError& e) {
        EXPECT_EQ(DosErrorFromErrno(e.ErrorCode), 6);
    }

    const std::pair<std::string, int> failures[] = {
        {at("nofile"), 2}, {at("dir.HEX"), 5}, {at("b.txt/x"), 3}};
    for (const auto& [path, code] : failures) {
        file = File::OpenRead(path);
        EXPECT_FALSE(file.Valid()) << path;
        EXPECT_EQ(file.DosError(), code) << path;
    }
}

} // namespace
