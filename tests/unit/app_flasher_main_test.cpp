// The flashers' shared start-up, with a shell that writes down what it was
// asked: the endings before the form exists, in their order.
#include "app/flasher_main.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace tollander::app;
using Strings = std::vector<std::string>;

namespace {

struct RecordingShell : FlasherShell {
    void Say(const std::string& line) override { calls.push_back("Say " + line); }
    void Begin(const FlasherOptions& options) override {
        calls.push_back(options.trace ? "Begin trace" : "Begin");
        if (!begin_error.empty()) throw std::runtime_error(begin_error);
    }
    void NoFirmware(const std::string&) override { calls.push_back("NoFirmware"); }
    std::optional<int> Refuse() override {
        calls.push_back("Refuse");
        return 9;
    }
    Parts Open() override { throw std::logic_error("opened"); }
    Ran Run(MainForm&, RunRecord&) override { return {}; }
    void Failed(const std::string& what) override { calls.push_back("Failed " + what); }

    std::string begin_error;
    Strings calls;
};

TEST(FlasherMain, OptionsEndTheProgramBeforeTheShellIsAsked) {
    struct Case {
        Strings args;
        int status;
    };
    const Case cases[] = {
        {{"x", "--help"}, 0}, {{"x", "-V"}, 0}, {{"x", "/ud", "--frobnicate"}, 2}};
    for (const auto& c : cases) {
        RecordingShell shell;
        const Strings& args = c.args;
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(RunFlasher(shell, "tollander-flash", args), c.status);
        ::testing::internal::GetCapturedStdout();
        ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(shell.calls.empty()) << shell.calls.front();
    }
}

// This test program carries nothing after its own end: the no-firmware ending,
// said once on stderr and then by the shell, before the shell may refuse or
// anything is made.
TEST(FlasherMain, AProgramWithoutFirmwareEndsBeforeAnythingIsMade) {
    RecordingShell shell;
    EXPECT_EQ(RunFlasher(shell, "tollander-flash-console", {"x", "/ud", "--trace"}),
              kExitNoFirmware);
    ASSERT_EQ(shell.calls.size(), 3u);
    EXPECT_EQ(shell.calls[0], "Begin trace");
    EXPECT_EQ(shell.calls[1].rfind("Say tollander-flash-console: This program carries no "
                                   "firmware",
                                   0),
              0u)
        << shell.calls[1];
    EXPECT_EQ(shell.calls[2], "NoFirmware");
}

TEST(FlasherMain, AnExceptionEndsTheProgramThroughTheShell) {
    RecordingShell shell;
    shell.begin_error = "no signals";
    EXPECT_EQ(RunFlasher(shell, "tollander-flash", {"x"}), 1);
    EXPECT_EQ(shell.calls, (Strings{"Begin", "Failed no signals"}));
}

} // namespace
