// The run directory: fresh for each run, removed at its end, swept once its
// run is gone but never while the run lives, and never made in a base that
// is not ours.
#include "platform/fs/files.h"
#include "platform/fs/run_dir.h"
#include "tests/common/test_main.h"
#include "tests/unit/payload_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>
#ifdef _WIN32
#include "platform/fs/self_path.h"
#include "platform/text_win32.h"

#include <windows.h>
#ifndef SIGKILL
#define SIGKILL 9 // the status a killed other run ends with, as on Linux
#endif
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tollander::platform {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A file the way the payload leaves one: read-only.
void PutReadOnlyFile(const fs::path& dir, const char* name) {
    std::ofstream(dir / name) << "hex text";
    fs::permissions(dir / name, fs::perms(0444));
}

#ifdef _WIN32
// The user's temporary folder gives what is made in it its owner and access.
bool OurPrivateDirectory(const fs::path& dir) {
    const fs::file_status st = fs::symlink_status(dir);
    return fs::is_directory(st) && !fs::is_symlink(st);
}
#else
bool OurPrivateDirectory(const fs::path& dir) {
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 0777) == 0700;
}
#endif

// A run in another process. It makes its directory, puts a file there and
// says where; then it either dies on the spot (nothing cleaned up, as when
// killed) or lives until Release().
#ifdef _WIN32
// Windows forks nothing: the other run is this program again in the child
// role "other-run", with its order in the environment, saying where on its
// standard error and waiting for the end of its standard input.
constexpr const char* kOtherRunOrder = "TOLLANDER_OTHER_RUN";

const testing::ChildRole kOtherRunRole("other-run", [] {
    const char* order = std::getenv(kOtherRunOrder);
    std::vector<std::string> fields(1);
    for (const char* c = order ? order : ""; *c != '\0'; ++c)
        if (*c == '|')
            fields.emplace_back();
        else
            fields.back() += *c;
    if (fields.size() != 4) return 2;
    {
        RunDirectory run({fields[0], fields[1], fields[2]});
        PutReadOnlyFile(run.Path(), "~1~Z~6~2.$$$");
        std::fprintf(stderr, "%s\n", run.Path().c_str());
        std::fflush(stderr);
        if (fields[3] == "die") ::TerminateProcess(::GetCurrentProcess(), 128 + SIGKILL);
        char c;
        [[maybe_unused]] const auto n = std::fread(&c, 1, 1, stdin);
    }
    return 0;
});

class OtherRun {
public:
    OtherRun(const RunDirectoryPlace& place, bool die) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE ready_read, ready_write, release_read;
        if (!::CreatePipe(&ready_read, &ready_write, &inherit, 0)) return;
        if (!::CreatePipe(&release_read, &release_, &inherit, 0)) return;
        ::SetHandleInformation(ready_read, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(release_, HANDLE_FLAG_INHERIT, 0);
        const HANDLE null =
            ::CreateFileW(L"NUL", GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
        const std::string order = place.base + "|" + place.fallback_parent + "|" +
                                  place.fallback_prefix + "|" + (die ? "die" : "live");
        const std::wstring variable = win32::Widen(kOtherRunOrder);
        ::SetEnvironmentVariableW(variable.c_str(), win32::Widen(order).c_str());
        std::wstring command = L"\"" + win32::Widen(SelfPath()) + L"\" " +
                               win32::Widen(testing::kChildSwitch) + L" other-run";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = release_read;
        startup.hStdOutput = null;
        startup.hStdError = ready_write;
        PROCESS_INFORMATION child{};
        if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &startup, &child)) {
            process_ = child.hProcess;
            ::CloseHandle(child.hThread);
        }
        ::SetEnvironmentVariableW(variable.c_str(), nullptr);
        ::CloseHandle(null);
        ::CloseHandle(ready_write);
        ::CloseHandle(release_read);
        char c;
        DWORD n = 0;
        while (::ReadFile(ready_read, &c, 1, &n, nullptr) && n == 1 && c != '\n')
            path_ += c;
        ::CloseHandle(ready_read);
        if (!path_.empty() && path_.back() == '\r') path_.pop_back();
        if (die) Release();
    }
    ~OtherRun() { Release(); }

    const std::string& Path() const { return path_; }
    // Lets a live run end; its exit status.
    int Release() {
        if (release_ != nullptr) ::CloseHandle(release_);
        release_ = nullptr;
        if (process_ != nullptr) {
            DWORD code = 0;
            ::WaitForSingleObject(process_, INFINITE);
            ::GetExitCodeProcess(process_, &code);
            ::CloseHandle(process_);
            process_ = nullptr;
            status_ = static_cast<int>(code);
        }
        return status_;
    }

private:
    HANDLE process_ = nullptr;
    HANDLE release_ = nullptr;
    int status_ = -1;
    std::string path_;
};
#else
class OtherRun {
public:
    OtherRun(const RunDirectoryPlace& place, bool die) {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            {
                RunDirectory run(place);
                PutReadOnlyFile(run.Path(), "~1~Z~6~2.$$$");
                const std::string& path = run.Path();
                if (::write(ready[1], path.data(), path.size()) < 0) ::_exit(2);
                ::close(ready[1]);
                if (die) ::raise(SIGKILL);
                char c;
                [[maybe_unused]] const auto n = ::read(release[0], &c, 1);
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_fd_ = release[1];
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(ready[0], buffer, sizeof buffer)) > 0)
            path_.append(buffer, static_cast<std::size_t>(n));
        ::close(ready[0]);
        if (die) Release();
    }
    ~OtherRun() { Release(); }

    const std::string& Path() const { return path_; }
    // Lets a live run end; its exit status (128 + signal when killed).
    int Release() {
        if (release_fd_ >= 0) ::close(release_fd_);
        release_fd_ = -1;
        if (pid_ > 0) {
            int raw = 0;
            ::waitpid(pid_, &raw, 0);
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            pid_ = -1;
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    int release_fd_ = -1;
    int status_ = -1;
    std::string path_;
};
#endif

class RunDirTest : public testing::ScratchWorld {
protected:
    void SetUp() override {
        ScratchWorld::SetUp();
        root_ = Root();
        fs::create_directory(root_ / "tmp");
        place_ = {(root_ / "base").string(), (root_ / "tmp").string(), "tollander-flash-test."};
    }

    fs::path root_;
    RunDirectoryPlace place_;
};

TEST_F(RunDirTest, EachRunHasAFreshDirectoryOfItsOwnRemovedAtItsEnd) {
    std::optional<RunDirectory> first(place_);
    std::optional<RunDirectory> second(place_);
    EXPECT_NE(first->Path(), second->Path());
    for (const RunDirectory* run : {&*first, &*second}) {
        EXPECT_EQ(fs::path(run->Path()).parent_path(), root_ / "base");
        EXPECT_TRUE(OurPrivateDirectory(run->Path()));
        PutReadOnlyFile(run->Path(), "~1~Z~6~X.$$$");
    }
    EXPECT_TRUE(OurPrivateDirectory(root_ / "base"));

    // The process's temporary files, with a drive or without, go to the
    // first run's directory.
    EXPECT_EQ(RunDirectory::Current(), first->Path());
    EXPECT_EQ(MapFileName("c:\\~1~Z~6~1.$$$"), first->Path() + "/~1~Z~6~1.$$$");
    EXPECT_EQ(MapFileName("~W~T~F~9.WAV"), first->Path() + "/~W~T~F~9.WAV");

    const std::string second_path = second->Path();
    first.reset();
    EXPECT_EQ(RunDirectory::Current(), "");
    EXPECT_EQ(Names(root_ / "base"),
              std::vector<std::string>{fs::path(second_path).filename().string()});
    second.reset();
    EXPECT_EQ(Names(root_ / "base"), std::vector<std::string>{});
}

TEST_F(RunDirTest, WhatAGoneRunLeftIsSweptAndALiveRunIsNeverTouched) {
    OtherRun killed(place_, true);
    ASSERT_EQ(killed.Release(), 128 + SIGKILL);
    ASSERT_TRUE(fs::exists(fs::path(killed.Path()) / "~1~Z~6~2.$$$"));
    OtherRun live(place_, false);
    ASSERT_FALSE(live.Path().empty());
    fs::create_directory(root_ / "base" / "notes");

    {
        RunDirectory run(place_);
        EXPECT_FALSE(fs::exists(killed.Path()));
        EXPECT_TRUE(fs::exists(fs::path(live.Path()) / "~1~Z~6~2.$$$"));
        EXPECT_EQ(Names(root_ / "base").size(), 3u); // live, notes and ours
    }
    EXPECT_EQ(live.Release(), 0);
    EXPECT_EQ(Names(root_ / "base"), std::vector<std::string>{"notes"});
}

TEST_F(RunDirTest, ABaseThatIsNotOursIsLeftAloneAndTheRunGoesToAFreshDirectory) {
    struct Case {
        const char* what;
        bool needs_root;
        bool posix_only; // Wine makes no links, Windows has no owners to give
        void (*plant)(RunDirectoryPlace& place, const fs::path& root);
    };
    const Case cases[] = {
        {"a link to a directory of ours", false, true,
         [](RunDirectoryPlace& place, const fs::path& root) {
             fs::create_directory(root / "elsewhere");
             fs::create_directory_symlink(root / "elsewhere", place.base);
         }},
        {"a plain file", false, false,
         [](RunDirectoryPlace& place, const fs::path&) { std::ofstream(place.base) << "x"; }},
        {"a directory of another user", true, true,
         [](RunDirectoryPlace& place, const fs::path&) {
             fs::create_directory(place.base);
#ifndef _WIN32
             ASSERT_EQ(::chown(place.base.c_str(), 65534, 65534), 0);
#endif
         }},
        {"a directory that cannot be made", false, false,
         [](RunDirectoryPlace& place, const fs::path& root) {
             place.base = (root / "missing" / "base").string();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
#ifdef _WIN32
        if (c.posix_only) {
            std::printf("skipped on Windows: %s\n", c.what);
            continue;
        }
#else
        if (c.needs_root && ::geteuid() != 0) continue;
#endif
        RunDirectoryPlace place = place_;
        c.plant(place, root_);

        // A run of the same kind that was killed is swept here as well.
        OtherRun killed(place, true);
        {
            RunDirectory run(place);
            const fs::path path = run.Path();
            EXPECT_EQ(path.parent_path(), root_ / "tmp");
            EXPECT_EQ(path.filename().string().rfind("tollander-flash-test.", 0), 0u);
            EXPECT_TRUE(OurPrivateDirectory(path));
            EXPECT_EQ(Names(root_ / "tmp"), std::vector<std::string>{path.filename().string()});
        }
        EXPECT_EQ(Names(root_ / "tmp"), std::vector<std::string>{});
        // Nothing was made in (or through) what stands at the base.
        EXPECT_EQ(Names(place.base), std::vector<std::string>{});
        std::error_code ec;
        fs::remove_all(root_ / "elsewhere", ec);
        fs::remove_all(place.base, ec);
    }
}

TEST_F(RunDirTest, WithNowhereToGoTheRunSaysWhyForBothPlaces) {
    RunDirectoryPlace place = place_;
    place.base = (root_ / "missing" / "base").string();
    place.fallback_parent = (root_ / "gone").string();
    try {
        RunDirectory run(place);
        ADD_FAILURE() << "made " << run.Path();
    } catch (const EInOutError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find(place.base + ": "), std::string::npos) << what;
        EXPECT_NE(what.find(place.fallback_parent + ": "), std::string::npos) << what;
#ifdef _WIN32
        const char* advice = "set TMP (or TEMP)";
#else
        const char* advice = "set XDG_RUNTIME_DIR (or TMPDIR)";
#endif
        EXPECT_NE(what.find(advice), std::string::npos) << what;
    }
    EXPECT_EQ(RunDirectory::Current(), "");
}

} // namespace
} // namespace tollander::platform
