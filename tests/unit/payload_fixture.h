// A scratch world for payload tests: its own current directory and its own
// private temporary directory (through XDG_RUNTIME_DIR, on Windows through
// TMP), removed afterwards.
#pragma once

#include "platform/fs/files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace tollander::testing {

namespace fs = std::filesystem;

inline std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

class ScratchWorld : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::path(platform::MakeScratchDir("payload-test"));
        old_cwd_ = fs::current_path();
        fs::create_directory(root_ / "cwd");
        fs::create_directory(root_ / "run");
        fs::current_path(root_ / "cwd");
        if (const char* old = std::getenv(kTempVariable)) old_temp_ = old;
        SetTemp((root_ / "run").string().c_str());
    }
    void TearDown() override {
        fs::current_path(old_cwd_);
        // The next scratch world is made under the user's own folder again.
        if (old_temp_)
            SetTemp(old_temp_->c_str());
        else
            UnsetTemp();
        std::error_code ec;
        // Read-only leftovers must not stop the clean-up.
        for (auto& entry : fs::recursive_directory_iterator(root_, ec))
            if (!entry.is_symlink())
                fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root_, ec);
    }
    fs::path Private() const { return root_ / "run" / "tollander-flash"; }
    fs::path Cwd() const { return root_ / "cwd"; }
    fs::path Root() const { return root_; }
    // Every file left in the current and the private directory.
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> names;
        for (const fs::path& dir : {Cwd(), Private()}) {
            std::error_code ec;
            for (auto& entry : fs::directory_iterator(dir, ec))
                names.push_back(entry.path().filename().string());
        }
        return names;
    }

private:
#ifdef _WIN32
    static constexpr const char* kTempVariable = "TMP";
    static void SetTemp(const char* value) { ::_putenv_s(kTempVariable, value); }
    static void UnsetTemp() { ::_putenv_s(kTempVariable, ""); }
#else
    static constexpr const char* kTempVariable = "XDG_RUNTIME_DIR";
    static void SetTemp(const char* value) { ::setenv(kTempVariable, value, 1); }
    static void UnsetTemp() { ::unsetenv(kTempVariable); }
#endif
    fs::path root_;
    fs::path old_cwd_;
    std::optional<std::string> old_temp_;
};

} // namespace tollander::testing
