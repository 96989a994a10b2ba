// The run record: runs merged into one bounded file, oldest first out, the
// file replaced whole, and a record that cannot be written stopping nothing.
#include "app/run_record.h"
#include "platform/fs/files.h"
#include "platform/fs/state_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace tollander;
namespace fs = std::filesystem;

namespace {

class RunRecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = platform::MakeScratchDir("tollander-record");
        // A program file without a payload stands in for the flasher.
        exe_ = dir_ + "/flasher";
        std::ofstream(exe_) << "not a flasher";
    }
    void TearDown() override { platform::RemoveTree(dir_); }

    std::string Read(const std::string& path) { return platform::ReadWholeFile(path); }
    std::vector<std::string> Files() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(fs::path(path_).parent_path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string dir_;
    std::string exe_;
    std::string path_ = "";
    // A lock on the record held past the test's end, as a hung flasher holds it.
    std::unique_ptr<platform::FileLock> held_;
};

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(RunRecordMerge, ReplacesItsOwnRunAndDropsTheOldestFirst) {
    const std::string a = "=== a ===\nline\n\n", b = "=== b ===\nline\n\n";
    struct Case {
        const char* what;
        std::string file, header, run;
        std::size_t limit;
        std::string merged;
    } cases[] = {
        {"first run", "", "=== c ===", "=== c ===\nx\n", 100, "=== c ===\nx\n"},
        {"appended", a + b, "=== c ===", "=== c ===\nx\n", 100, a + b + "=== c ===\nx\n"},
        {"own run rewritten in place", a + "=== c ===\nold\n" + b, "=== c ===",
         "=== c ===\nnew\n", 100, a + "=== c ===\nnew\n" + b},
        {"a header that only starts alike is another run", "=== c === 2\nz\n", "=== c ===",
         "=== c ===\nx\n", 100, "=== c === 2\nz\n=== c ===\nx\n"},
        {"oldest out", a + b, "=== c ===", "=== c ===\nx\n", 30, b + "=== c ===\nx\n"},
        {"all others out", a + b, "=== c ===", "=== c ===\nx\n", 12, "=== c ===\nx\n"},
        {"text before the first run goes first", "junk\n" + b, "=== c ===", "=== c ===\nx\n",
         30, b + "=== c ===\nx\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(app::MergeRun(c.file, c.header, c.run, c.limit), c.merged) << c.what;
}

TEST(RunRecordMerge, ARunLongerThanTheLimitKeepsItsStartAndEnd) {
    std::string run = "=== c ===\nProgram = x\n";
    for (int i = 0; i < 2000; ++i)
        run += "  line " + std::to_string(i) + "\n";
    run += "Ended = done\n";
    const std::string merged = app::MergeRun("=== a ===\n", "=== c ===", run, 4096);
    EXPECT_LE(merged.size(), 4096u);
    EXPECT_NE(merged.find("=== c ===\nProgram = x\n  line 0\n"), std::string::npos);
    EXPECT_NE(merged.find("bytes left out"), std::string::npos);
    EXPECT_EQ(merged.substr(merged.size() - 13), "Ended = done\n");
}

TEST_F(RunRecordTest, EachRunAppendsItsLogPortsAndEndingUnderTheLimit) {
    path_ = dir_ + "/state/tollander-flash/runs.log";
    for (int run = 1; run <= 3; ++run) {
        app::RunRecord record(path_, "tollander-flash-console", {exe_, "/ud"}, nullptr, 1200);
        record.Line("Tollander flash utility initialized...");
        record.Note("event log cleared: Start Over");
        record.SetPorts({"Ports:", "  COM1 = /dev/ttyUSB0  [x] Tollander", "Port used    = COM1"});
        record.Line("Complete. " + std::to_string(run));
        record.Finish("upgrade completed; exit status 0");
        EXPECT_EQ(record.Failure(), "");
    }
    const std::string text = Read(path_);
    EXPECT_LE(text.size(), 1200u);
    EXPECT_EQ(Count(text, "=== "), Count(text, "Ended        = "));
    EXPECT_LT(Count(text, "=== "), 3u) << "the oldest run went: " << text;
    EXPECT_NE(text.find("Complete. 3"), std::string::npos);
    EXPECT_EQ(text.find("Complete. 1"), std::string::npos);
    // The last run, whole.
    const std::string last = text.substr(text.rfind("=== "));
    for (const char* part :
         {"tollander-flash-console (process ", "Program      = tollander-flash-console ",
          "Flasher      = ", "Arguments    = /ud", "Flasher carries no configuration",
          "Event log:\n", "  Tollander flash utility initialized...\n",
          "  (event log cleared: Start Over)\n", "  COM1 = /dev/ttyUSB0  [x] Tollander\n",
          "Port used    = COM1\n", " upgrade completed; exit status 0\n"})
        EXPECT_NE(last.find(part), std::string::npos) << part << " in\n" << last;
    // Log lines carry the time of day: "  HH:MM:SS.mmm  text".
    const auto at = last.find("Tollander flash utility initialized...");
    EXPECT_EQ(last.substr(at - 16, 2), "  ");
    EXPECT_EQ(last[at - 14 + 2], ':');
    EXPECT_EQ((std::vector<std::string>{"runs.log", "runs.log.lock"}), Files());
}

TEST_F(RunRecordTest, ARecordThatCannotBeWrittenSaysWhyAndStopsNothing) {
    // The state directory's place is taken by a file.
    std::ofstream(dir_ + "/state") << "";
    app::RunRecord record(dir_ + "/state/tollander-flash/runs.log", "tollander-flash", {exe_});
    record.Line("Tollander flash utility initialized...");
    record.Finish("upgrade completed");
    EXPECT_NE(record.Failure().find("/state"), std::string::npos) << record.Failure();

    app::RunRecord homeless("", "tollander-flash", {exe_});
    homeless.Line("Complete.");
    EXPECT_NE(homeless.Failure(), "");
}

// Another flasher holding the record's lock for good (stopped, hung) keeps
// this run's record from being written, but not the run from ending.
TEST_F(RunRecordTest, ALockHeldForGoodDoesNotKeepTheRunFromEnding) {
#ifdef _WIN32
    GTEST_SKIP() << "the writer left waiting keeps the lock file open, and Windows then refuses "
                    "to remove the test's directory";
#else
    path_ = dir_ + "/runs.log";
    held_ = std::make_unique<platform::FileLock>(path_ + ".lock");
    app::RunRecord record(path_, "tollander-flash", {exe_}, nullptr, app::kRunRecordLimit,
                          std::chrono::milliseconds(200));
    record.Line("Complete.");
    record.Finish("upgrade completed");
    EXPECT_NE(record.Failure().find("runs.log.lock"), std::string::npos) << record.Failure();
    EXPECT_FALSE(fs::exists(path_));
#endif
}

// A full disk, played by a file size limit in a child process: the runs
// already recorded stay as they were and no half-written file is left.
TEST_F(RunRecordTest, AFullDiskKeepsTheOldFileWhole) {
#ifdef _WIN32
    GTEST_SKIP() << "plays the full disk with a file size limit in a forked child";
#else
    path_ = dir_ + "/runs.log";
    {
        app::RunRecord record(path_, "tollander-flash", {exe_});
        record.Line("the first run");
    }
    const std::string before = Read(path_);
    ASSERT_NE(before.find("the first run"), std::string::npos);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{static_cast<rlim_t>(before.size()), static_cast<rlim_t>(before.size())};
        setrlimit(RLIMIT_FSIZE, &limit);
        app::RunRecord record(path_, "tollander-flash", {exe_});
        record.Line("the second run");
        record.Finish("upgrade completed");
        _exit(record.Failure().empty() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the failure was not noticed";
    EXPECT_EQ(Read(path_), before);
    EXPECT_EQ((std::vector<std::string>{"flasher", "runs.log", "runs.log.lock"}), Files());
#endif
}

} // namespace
