#include "platform/fs/file_search.h"

#include "platform/fs/dos_error.h"
#include "platform/fs/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace tollander::platform;
namespace fs = std::filesystem;

namespace {

class FileSearch : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tollander-search-" +
                std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "dir.HEX");
        write("FLS0228.HEX", "abc");
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

TEST_F(FileSearch, MasksAndTheirResults) {
    struct Case {
        std::string mask;
        int code;
        std::string name;
    };
    const std::vector<Case> cases = {
#ifdef _WIN32
        {"*.HEX", 0, ".hidden.hex"}, // Windows matches names in any case
#else
        {"*.HEX", 0, "FLS0228.HEX"},       // the directory dir.HEX is not a file
#endif
        {".h*", 0, ".hidden.hex"},         // hidden and read-only
        {"*", 0, ".hidden.hex"},           // smallest name first
        {"*.*", 0, ".hidden.hex"},         // every file
        {"b.txt", 0, "b.txt"},             // a plain name
        {"*.zip", -6003, ""},              // nothing matches
        {"nofile.hex", -2, ""},            // a plain name that is missing
        {"dir.HEX", -2, ""},               // a plain name of a directory
        {"missing/*.HEX", -6004, ""},      // the directory is missing
        {"missing/nofile.hex", -6004, ""}, //
        {"b.txt/*", -6004, ""},            // a file is no directory
        {"", -2, ""},                      // the directory alone
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mask);
        FoundFile found;
        ASSERT_EQ(FindFirstMatch(at(c.mask), found), c.code);
        if (c.code == 0) {
            EXPECT_EQ(found.name, c.name);
            EXPECT_EQ(found.path, at(c.name));
        }
    }
}

// The file the search found, as the protocol reads it: reads short only at
// the end, and failures as DOS-style numbers.
TEST_F(FileSearch, FoundFileReadsToTheEndAndReportsDosCodes) {
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
        EXPECT_EQ(file.dos_error(), code) << path;
    }
}

} // namespace
