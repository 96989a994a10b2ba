// The run directory: fresh for each run, removed at its end, swept once its
// run is gone but never while the run lives, and never made in a base that
// is not ours.
#include "platform/files.h"
#include "platform/run_dir.h"
#include "tests/unit/payload_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

bool OurPrivateDirectory(const fs::path& dir) {
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 0777) == 0700;
}

// A run in another process. It makes its directory, puts a file there and
// says where; then it either dies on the spot (nothing cleaned up, as when
// killed) or lives until Release().
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
    EXPECT_EQ(Names(root_ / "base"), std::vector<std::string>{fs::path(second_path).filename()});
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
        void (*plant)(RunDirectoryPlace& place, const fs::path& root);
    };
    const Case cases[] = {
        {"a link to a directory of ours", false,
         [](RunDirectoryPlace& place, const fs::path& root) {
             fs::create_directory(root / "elsewhere");
             fs::create_directory_symlink(root / "elsewhere", place.base);
         }},
        {"a plain file", false,
         [](RunDirectoryPlace& place, const fs::path&) { std::ofstream(place.base) << "x"; }},
        {"a directory of another user", true,
         [](RunDirectoryPlace& place, const fs::path&) {
             fs::create_directory(place.base);
             ASSERT_EQ(::chown(place.base.c_str(), 65534, 65534), 0);
         }},
        {"a directory that cannot be made", false,
         [](RunDirectoryPlace& place, const fs::path& root) {
             place.base = (root / "missing" / "base").string();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && ::geteuid() != 0) continue;
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
            EXPECT_EQ(Names(root_ / "tmp"), std::vector<std::string>{path.filename()});
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
        EXPECT_NE(what.find("set XDG_RUNTIME_DIR"), std::string::npos) << what;
    }
    EXPECT_EQ(RunDirectory::Current(), "");
}

} // namespace
} // namespace tollander::platform
