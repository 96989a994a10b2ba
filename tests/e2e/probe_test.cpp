// The scan of COM1..COM4 against virtual modems: event log, rows, boxes, flags.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "tests/e2e/fixture.h"

namespace tollander::e2e {
namespace {

const std::string kBanner = "Tollander flash utility initialized...";
const std::string kPressFlash =
    "Press the FLASH! button to begin flashing the currently selected modem.";
const std::vector<std::string> kNoModemsTail = {
    "No modems found to FLASH.",
    "Ensure that you have your modem installed and press the \"Start Over\" button.", "Complete."};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct OneModemCase {
    const char* name;
    int port;
    std::vector<std::string> modem;
    std::vector<std::string> lines; // after the banner
    std::string row;
    bool flashable;
    bool code_bad;
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const OneModemCase& c, std::ostream* os) {
    *os << c.name;
}

class OneModemScan : public E2eTest, public ::testing::WithParamInterface<OneModemCase> {};

TEST_P(OneModemScan, RowFlagsAndLog) {
    const auto& c = GetParam();
    Modem(c.port, c.modem);
    StartApp(PackFlasher());
    Scan();

    EXPECT_EQ(Log(), Concat({kBanner}, c.lines));
    for (int port = 1; port <= 4; ++port) {
        SCOPED_TRACE("COM" + std::to_string(port));
        EXPECT_EQ(Form().EditText(port), port == c.port ? c.row : "No modem found.");
        const bool offered = port == c.port && c.flashable;
        EXPECT_EQ(Form().Fields().PortFlashable[port], offered);
        EXPECT_EQ(Form().Checked(port), offered);
        EXPECT_EQ(Form().CheckBoxEnabled(port), offered);
        EXPECT_EQ(Form().Fields().ModemCodeBad[port], port == c.port && c.code_bad);
    }
    EXPECT_EQ(Form().Fields().ModemCount, c.flashable ? 1 : 0);
    EXPECT_EQ(Step(), c.flashable ? app::stepWaitForUser : app::stepStop);
    EXPECT_EQ(Form().Enabled(app::ButtonId::Button2), c.flashable);
    EXPECT_TRUE(Form().Enabled(app::ButtonId::Button4));
    EXPECT_TRUE(Form().Enabled(app::ButtonId::Button1));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OneModemScan,
    ::testing::Values(OneModemCase{"NothingAnswers",
                                   2,
                                   {"--mute"},
                                   Concat({"No device present on COM2."}, kNoModemsTail),
                                   "No modem found.",
                                   false,
                                   false},
                      OneModemCase{"FamilyInMixedCase",
                                   1,
                                   {"--random-case", "--seed", "7"},
                                   {"Device present on COM1.", kPressFlash},
                                   "Tollander modem found.",
                                   true,
                                   false},
                      OneModemCase{"NotFamily",
                                   3,
                                   {"--not-family"},
                                   Concat({"Device present on COM3."}, kNoModemsTail),
                                   "Not a Tollander modem",
                                   false,
                                   false},
                      OneModemCase{"BootPromptCodeCorrupt",
                                   4,
                                   {"--boot-prompt", "--main-code", "corrupt"},
                                   {"Modem is in flash mode... resetting COM4.",
                                    "Modem code is corrupt on COM", kPressFlash},
                                   "Tollander modem found.",
                                   true,
                                   true},
                      OneModemCase{"BootPromptCodeMissing",
                                   4,
                                   {"--boot-prompt", "--main-code", "missing"},
                                   {"Modem is in flash mode... resetting COM4.",
                                    "Modem code is missing on COM", kPressFlash},
                                   "Tollander modem found.",
                                   true,
                                   true},
                      OneModemCase{"BootPromptCodeStarts",
                                   2,
                                   {"--boot-prompt"},
                                   {"Modem is in flash mode... resetting COM2.", kPressFlash},
                                   "Tollander modem found.",
                                   true,
                                   false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(E2eTest, TwoFamilyModemsOnlyTheLastIsTicked) {
    Modem(1);
    Modem(3);
    StartApp(PackFlasher());
    Scan();

    EXPECT_EQ(Log(),
              (std::vector<std::string>{
                  kBanner, "Device present on COM1.", "Device present on COM3.",
                  "Ensure that the correct modem is selected, and press the FLASH! button."}));
    EXPECT_EQ(Form().Fields().ModemCount, 2);
    for (int port = 1; port <= 4; ++port) {
        SCOPED_TRACE("COM" + std::to_string(port));
        const bool found = port == 1 || port == 3;
        EXPECT_EQ(Form().EditText(port), found ? "Tollander modem found." : "No modem found.");
        EXPECT_EQ(Form().CheckBoxEnabled(port), found);
        EXPECT_EQ(Form().Checked(port), port == 3);
    }
    EXPECT_TRUE(Form().Enabled(app::ButtonId::Button2));
}

TEST_F(E2eTest, MissingDeviceIsSilentWithoutDebug) {
    Modem(1);
    MapPort(2, dir_ + "/no-such-tty");
    StartApp(PackFlasher());
    Scan();

    EXPECT_EQ(Log(), ScanOneModemLines());
    EXPECT_EQ(Form().EditText(2), "No modem found.");
    EXPECT_EQ(Step(), app::stepWaitForUser);
}

TEST_F(E2eTest, DebugModeNamesEachPortsDeviceAndWhyItFailed) {
    const auto& modem = Modem(1);
    const std::string missing = dir_ + "/no-such-tty";
    MapPort(2, missing);
    // Another program holds COM3's modem, as a modem manager might.
    const auto& held = Modem(3);
    const int holder = open(held.Device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    // A device the user may not open; root may open anything, so COM4 then
    // stays without a device.
    const bool root = geteuid() == 0;
    const std::string locked = dir_ + "/locked-tty";
    if (!root) {
        std::ofstream(locked).put('x');
        chmod(locked.c_str(), 0);
        MapPort(4, locked);
    }
    StartApp(PackFlasher(), /*debug=*/true);
    Scan();
    close(holder);

    const auto& log = Log();
    auto find = [&](const std::string& line) {
        const auto at = std::find(log.begin(), log.end(), line);
        return at == log.end() ? -1 : static_cast<int>(at - log.begin());
    };
    EXPECT_GE(find("COM1 is mapped to " + modem.Device() + "."), 0);
    EXPECT_GE(find("COM2 is mapped to " + missing + "."), 0);
    EXPECT_GE(find("COM2 (" + missing + "): no such device; check that the modem's adapter is "
                   "plugged in and the port mapped to it"),
              0);
    EXPECT_GE(find("COM3 is mapped to " + held.Device() + "."), 0);
    // The holder is this very process, which the notice leaves out.
    EXPECT_GE(find("COM3 (" + held.Device() +
                   "): in use by another program; close the program that holds it"),
              0);
    if (root) {
        EXPECT_GE(find("COM4 has no device mapped."), 0);
    } else {
        EXPECT_GE(find("COM4 (" + locked + "): permission denied; it is yours: chmod u+rw " + locked),
                  0);
    }
    // Every line of the scan itself is there, in order, between the
    // diagnostics.
    std::vector<std::string> plain;
    for (const auto& line : log)
        if (line.rfind("COM", 0) != 0) plain.push_back(line);
    ASSERT_GE(plain.size(), 4u);
    EXPECT_EQ(plain.front(), kBanner);
    EXPECT_EQ(std::vector<std::string>(plain.end() - 3, plain.end()),
              (std::vector<std::string>{"Device present on COM1.", "Debug mode is active.",
                                        kPressFlash}));
    for (int port = 2; port <= 4; ++port)
        EXPECT_EQ(Form().EditText(port), "No modem found.");
}

TEST_F(E2eTest, EmptyFamilyAcceptsOnlyModemsAtTheirBootPrompt) {
    Modem(1);
    Modem(2, {"--boot-prompt", "--main-code", "corrupt"});
    PackConfig config;
    config.family = "";
    StartApp(PackFlasher(config));
    Scan();

    EXPECT_EQ(Log(),
              (std::vector<std::string>{" flash utility initialized...", "Device present on COM1.",
                                        "Modem is in flash mode... resetting COM2.",
                                        "Modem code is corrupt on COM", kPressFlash}));
    EXPECT_EQ(Form().EditText(1), "Not a  modem");
    EXPECT_EQ(Form().EditText(2), " modem found.");
    EXPECT_EQ(Form().Fields().ModemCount, 1);
    EXPECT_TRUE(Form().Checked(2));
}

} // namespace
} // namespace tollander::e2e
