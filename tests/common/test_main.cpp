// The main of every test program. Before the first test, the process gets a
// scratch home of its own: HOME, the XDG state and runtime directories,
// TMPDIR, and on Windows LOCALAPPDATA, TEMP and TMP all point into one fresh
// directory, so that no test and no program a test starts reads or writes
// the files of the user who runs the suite (the run record above all).
// CTest runs each test case as a process of its own (a whole suite under
// Wine), so each test has its own home. The directory goes at the end, and
// stays, named on stderr, when a test failed.
#include "tests/common/test_main.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <string>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tollander::testing {
namespace {

namespace fs = std::filesystem;

std::map<std::string, ChildRole::Run>& Roles() {
    static std::map<std::string, ChildRole::Run> roles;
    return roles;
}

struct Place {
    const char* variable;
    const char* dir;
};

// clang-format off
constexpr Place kPlaces[] = {
    {"HOME", "home"},
    {"XDG_STATE_HOME", "state"},
    {"XDG_RUNTIME_DIR", "runtime"},
    {"TMPDIR", "tmp"},
#ifdef _WIN32
    {"LOCALAPPDATA", "local"},
    {"TEMP", "tmp"},
    {"TMP", "tmp"},
#endif
};
// clang-format on

void SetVariable(const char* name, const fs::path& value) {
#ifdef _WIN32
    // Both the C runtime's copy and the process's, which children inherit.
    const std::wstring wide_name(name, name + std::strlen(name));
    ::_wputenv_s(wide_name.c_str(), value.c_str());
    ::SetEnvironmentVariableW(wide_name.c_str(), value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

// A fresh directory under the temporary directory the suite was started with.
fs::path MakeRoot() {
#ifdef _WIN32
    const fs::path root =
        fs::temp_directory_path() / ("tollander-test-" + std::to_string(::GetCurrentProcessId()));
    fs::remove_all(root); // a crashed run's of the same number
    fs::create_directory(root);
    return root;
#else
    std::string pattern = (fs::temp_directory_path() / "tollander-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw fs::filesystem_error("cannot make a scratch home", pattern,
                                   std::error_code(errno, std::generic_category()));
    // Tests that hand a directory to an ordinary user (setpriv) make it in
    // here: the way to it stays open.
    fs::permissions(pattern, fs::perms(0755));
    return pattern;
#endif
}

class ScratchHome {
public:
    ScratchHome() : root_(MakeRoot()) {
        for (const Place& place : kPlaces) {
            const fs::path dir = root_ / place.dir;
            fs::create_directories(dir);
            SetVariable(place.variable, dir);
        }
        fs::permissions(root_ / "runtime", fs::perms::owner_all);
    }
    ~ScratchHome() {
        if (keep_) {
            std::fprintf(stderr, "scratch home kept: %s\n", root_.string().c_str());
            return;
        }
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    ScratchHome(const ScratchHome&) = delete;
    ScratchHome& operator=(const ScratchHome&) = delete;

    void Keep() { keep_ = true; }

private:
    fs::path root_;
    bool keep_ = false;
};

} // namespace

ChildRole::ChildRole(const char* name, Run run) {
    Roles()[name] = run;
}

} // namespace tollander::testing

int main(int argc, char** argv) {
    using namespace tollander::testing;
    if (argc >= 3 && std::strcmp(argv[1], kChildSwitch) == 0) {
        const auto role = Roles().find(argv[2]);
        if (role == Roles().end()) {
            std::fprintf(stderr, "%s: no child role '%s'\n", argv[0], argv[2]);
            return 2;
        }
        return role->second();
    }
    try {
        ScratchHome home;
        ::testing::InitGoogleTest(&argc, argv);
        const int result = RUN_ALL_TESTS();
        if (result != 0) home.Keep();
        return result;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
}
