#include "platform/fs/file_search.h"

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
        ASSERT_EQ(find_first_file(at(c.mask), found), c.code);
        if (c.code == 0) {
            EXPECT_EQ(found.name, c.name);
            EXPECT_EQ(found.path, at(c.name));
        }
    }
}

TEST_F(FileSearch, ReadOnlyFileReadsToTheEndAndReportsFailures) {
    ReadOnlyFile file;
    ASSERT_EQ(file.open(at(".hidden.hex")), 0); // read-only file
    EXPECT_EQ(file.size(), 6);
    EXPECT_NE(file.dos_date(), 0u);
    char buffer[8];
    EXPECT_EQ(file.read(buffer, 4), 4);
    EXPECT_EQ(file.read(buffer + 4, 4), 2); // short only at the end
    EXPECT_EQ(std::string(buffer, 6), "hidden");
    EXPECT_EQ(file.read(buffer, 4), 0);
    file.close();
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(file.read(buffer, 1), -6);

    EXPECT_EQ(file.open(at("nofile")), -2);
    EXPECT_EQ(file.open(""), -2);
    EXPECT_EQ(file.open(at("dir.HEX")), -5);
    EXPECT_EQ(file.open(at("b.txt/x")), -3);
    EXPECT_FALSE(file.is_open());
}

} // namespace
