// Whole upgrades in real time: every line, every command, every byte sent.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/run_record.h"
#include "tests/e2e/fixture.h"

namespace tollander::e2e {
namespace {

using Lines = std::vector<std::string>;

const std::string kNvram = "AT&F1S0=0&W&F2S0=0&W1YZ";

std::string BootHex() {
    return ReadFile(FirmwareDir() + "/FLS0228.HEX");
}
std::string MainHex() {
    return ReadFile(FirmwareDir() + "/F2ZE0529.HEX");
}

// The lines of one image sent and judged good, on COM`port`.
std::vector<std::string> ImageLines(int image, int port, const std::string& after_atgm) {
    const std::string n = std::to_string(image);
    const std::string com = std::to_string(port);
    return {"Flash data integrity check passed..  (" + n + ")",
            "Entering FLASH mode on COM" + com + ".",
            "Modem needs flash update #1..  (" + n + ")",
            "Programming FLASHROM on COM" + com + ".",
            "Flash file upload sent successfully.",
            "Checking modem integrity...",
            after_atgm};
}

const std::string kStarting = "Modem responded correctly -- starting modem code.";

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> Tail(std::vector<std::string> v, std::size_t skip) {
    v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(std::min(skip, v.size())));
    return v;
}

void ExpectStoppedCleanly(E2eTest& test, app::MainForm& form) {
    (void)test;
    EXPECT_EQ(form.TheSequencer().StepNumber, app::stepStop);
    EXPECT_FALSE(form.ComPort1().Open());
    EXPECT_TRUE(form.Enabled(app::ButtonId::Button1));
    EXPECT_TRUE(form.Enabled(app::ButtonId::Button4));
    EXPECT_FALSE(form.Enabled(app::ButtonId::Button2));
    EXPECT_FALSE(form.Gauge1().Visible());
    EXPECT_EQ(form.Gauge1().Progress(), 0);
    EXPECT_FALSE(form.Outcome().halted);
}

TEST_F(E2eTest, WholeUpgradeSendsBothImagesByteForByte) {
    auto& modem = Modem(1);
    StartApp(PackFlasher());
    Scan();
    Flash();

    EXPECT_EQ(Log(), (ScanOneModemLines() + ImageLines(1, 1, kStarting) +
                      ImageLines(2, 1, kStarting) + Lines{"Resetting modem...", "Complete."}));
    EXPECT_EQ(Tail(modem.Commands(), 2),
              (std::vector<std::string>{"ATY14", "ATGLOAD7", "ATI0", "AT{A}", "ATGM", "ATGLOAD7",
                                        "ATI0", "AT{A}", "ATGM", kNvram}));
    ASSERT_EQ(modem.SavedImages(), 2);
    EXPECT_TRUE(modem.SavedImage(1) == BootHex()) << "boot code image differs";
    EXPECT_TRUE(modem.SavedImage(2) == MainHex()) << "main code image differs";
    ExpectStoppedCleanly(*this, Form());
    EXPECT_TRUE(Form().Fields().ModemAlive);
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});
    EXPECT_TRUE(Form().Outcome().nvram_rewritten);
    EXPECT_FALSE(Form().Outcome().failure_logged);
}

TEST_F(E2eTest, DebugModeUpgradeStillSendsBothImages) {
    // The debug echo takes whatever arrives between the waits; the upgrade
    // must not depend on those characters.
    auto& modem = Modem(1);
    StartApp(PackFlasher(), /*debug=*/true);
    Scan();
    Flash();

    const auto& log = Log();
    std::size_t at = 0;
    for (const std::string line :
         {"Flashing boot code...", "Flashing main code...", "Rewriting NVRAM templates 0 and 1...",
          "Resetting modem...", "Complete."}) {
        const auto found =
            std::find(log.begin() + static_cast<std::ptrdiff_t>(at), log.end(), line);
        ASSERT_NE(found, log.end()) << line;
        at = static_cast<std::size_t>(found - log.begin());
    }
    EXPECT_EQ(log.back(), "Complete.");
    EXPECT_FALSE(Form().Outcome().failure_logged);
    ASSERT_EQ(modem.SavedImages(), 2);
    EXPECT_TRUE(modem.SavedImage(1) == BootHex());
    EXPECT_TRUE(modem.SavedImage(2) == MainHex());
    EXPECT_EQ(modem.Commands().back(), kNvram);
}

struct MainOnlyCase {
    const char* name;
    PackConfig config;
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const MainOnlyCase& c, std::ostream* os) {
    *os << c.name;
}

class MainCodeOnly : public E2eTest, public ::testing::WithParamInterface<MainOnlyCase> {};

TEST_P(MainCodeOnly, SendsOnlyTheMainImage) {
    auto& modem = Modem(1);
    StartApp(PackFlasher(GetParam().config));
    Scan();
    Flash();

    EXPECT_EQ(Log(), (ScanOneModemLines() + ImageLines(2, 1, kStarting) +
                      Lines{"Resetting modem...", "Complete."}));
    EXPECT_EQ(Tail(modem.Commands(), 2),
              (std::vector<std::string>{"ATY14", "ATGLOAD7", "ATI0", "AT{A}", "ATGM", kNvram}));
    ASSERT_EQ(modem.SavedImages(), 1);
    EXPECT_TRUE(modem.SavedImage(1) == MainHex());
    ExpectStoppedCleanly(*this, Form());
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});
}

PackConfig NoBootImage() {
    PackConfig c;
    c.boot = false;
    return c;
}
PackConfig EmptyBootModel() {
    PackConfig c;
    c.boot_model = "";
    return c;
}

INSTANTIATE_TEST_SUITE_P(Cases, MainCodeOnly,
                         ::testing::Values(MainOnlyCase{"NoBootImage", NoBootImage()},
                                           MainOnlyCase{"EmptyBootModel", EmptyBootModel()}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(E2eTest, BootCodeNotNeededStartsMainCodeAndSendsIt) {
    auto& modem = Modem(1);
    PackConfig config;
    config.boot_model = "zz999999";
    StartApp(PackFlasher(config));
    Scan();
    Flash();

    EXPECT_EQ(Log(),
              (ScanOneModemLines() +
               Lines{"Flash data integrity check passed..  (1)", "Entering FLASH mode on COM1.",
                     "Modem does not need flash update #1..  (1)"} +
               ImageLines(2, 1, kStarting) + Lines{"Resetting modem...", "Complete."}));
    EXPECT_EQ(Tail(modem.Commands(), 2),
              (std::vector<std::string>{"ATY14", "ATGLOAD7", "ATI0", "ATGM", "ATGLOAD7", "ATI0",
                                        "AT{A}", "ATGM", kNvram}));
    ASSERT_EQ(modem.SavedImages(), 1);
    EXPECT_TRUE(modem.SavedImage(1) == MainHex());
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});
}

TEST_F(E2eTest, ModemWithBadCodeGetsNoBootModeCommandForEitherImage) {
    Modem(1);
    // After the boot code its main code is still bad ("Corrupt"): the main
    // code follows all the same.
    auto& modem =
        Modem(2, {"--boot-prompt", "--main-code", "corrupt", "--after-upload", "corrupt,starting"});
    StartApp(PackFlasher());
    Scan();
    ASSERT_TRUE(Form().Checked(2));
    const std::size_t scanned = Log().size();
    Flash();

    EXPECT_EQ(LogFrom(scanned),
              (ImageLines(1, 2, "Modem code is corrupt.") + ImageLines(2, 2, kStarting) +
               Lines{"Resetting modem...", "Complete."}));
    const auto commands = modem.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "ATGLOAD7"), 0);
    ASSERT_EQ(modem.SavedImages(), 2);
    EXPECT_TRUE(modem.SavedImage(1) == BootHex());
    EXPECT_TRUE(modem.SavedImage(2) == MainHex());
    ExpectStoppedCleanly(*this, Form());
}

struct VerdictCase {
    const char* name;
    std::vector<std::string> modem;
    std::string verdict_line;
    std::string atgm_line;
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const VerdictCase& c, std::ostream* os) {
    *os << c.name;
}

class MainVerdict : public E2eTest, public ::testing::WithParamInterface<VerdictCase> {};

TEST_P(MainVerdict, NvramIsRewrittenWhateverTheVerdict) {
    const auto& c = GetParam();
    auto& modem = Modem(1, c.modem);
    StartApp(PackFlasher(NoBootImage()));
    Scan();
    const std::size_t scanned = Log().size();
    Flash();

    EXPECT_EQ(LogFrom(scanned),
              (std::vector<std::string>{
                  "Flash data integrity check passed..  (2)", "Entering FLASH mode on COM1.",
                  "Modem needs flash update #1..  (2)", "Programming FLASHROM on COM1.",
                  "Flash file upload sent successfully.", c.verdict_line, c.atgm_line,
                  "Resetting modem...", "Complete."}));
    EXPECT_EQ(modem.Commands().back(), kNvram);
    ExpectStoppedCleanly(*this, Form());
}

INSTANTIATE_TEST_SUITE_P(Cases, MainVerdict,
                         ::testing::Values(VerdictCase{"NoVerdictCountsAsSuccess",
                                                       {"--verdict", "none"},
                                                       "Checking modem integrity...",
                                                       kStarting},
                                           VerdictCase{"RxTimeoutVerdict",
                                                       {"--verdict", "timeout", "--after-upload",
                                                        "corrupt"},
                                                       "Flash programming was not successful.",
                                                       "Modem code is corrupt."},
                                           VerdictCase{"SilentAfterUpload",
                                                       {"--after-upload", "silent"},
                                                       "Checking modem integrity...",
                                                       "Modem is not responding..."}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(E2eTest, CommandModeAnswerAfterBootCodeStopsBeforeMainCode) {
    auto& modem = Modem(1, {"--after-upload", "ok"});
    StartApp(PackFlasher());
    Scan();
    const std::size_t scanned = Log().size();
    Flash();

    EXPECT_EQ(LogFrom(scanned),
              (std::vector<std::string>{
                  "Flash data integrity check passed..  (1)", "Entering FLASH mode on COM1.",
                  "Modem needs flash update #1..  (1)", "Programming FLASHROM on COM1.",
                  "Flash file upload sent successfully.", "Checking modem integrity...",
                  "Modem is in command mode...", "Complete."}));
    EXPECT_EQ(modem.SavedImages(), 1);
    EXPECT_EQ(modem.SavedImage(1), ReadFile(FirmwareDir() + "/FLS0228.HEX"));
    EXPECT_FALSE(Form().Fields().ModemAlive);
}

TEST_F(E2eTest, HangUpDuringMainUploadIsReportedAndCleanedUpNextStart) {
    Modem(1, {"--hangup-after", "200000"});
    StartApp(PackFlasher(NoBootImage()));
    Scan();
    const std::size_t scanned = Log().size();
    // Well past the longest wait after a failed upload: the verdict's 36
    // ticks, 5 s, then 1 s and 72 ticks for "ATGM", plus the NVRAM line.
    Flash(60s);

    // The failed "ATGM" write after the verdict's time-out halts the step
    // with its message shown.
    EXPECT_EQ(LogFrom(scanned),
              (std::vector<std::string>{
                  "Flash data integrity check passed..  (2)", "Entering FLASH mode on COM1.",
                  "Modem needs flash update #1..  (2)", "Programming FLASHROM on COM1.",
                  "Flash file upload did not complete successfully.",
                  "Checking modem integrity..."}));
    EXPECT_TRUE(Form().Outcome().halted);
    ASSERT_EQ(FrontEnd().messages.size(), 1u);
    EXPECT_EQ(FrontEnd().messages[0], std::make_pair(std::string("Failed to put entire block"),
                                                     app::MessageKind::Exception));
    EXPECT_EQ(Step(), app::stepJudgeMainUpload);
    EXPECT_FALSE(Form().Timer1Enabled());
    EXPECT_TRUE(Form().Enabled(app::ButtonId::Button1)) << "Quit must stay available";
    // The port's row and the run's ending say what the system said of the
    // failed writes.
    const std::string device = Form().ComPort1().DeviceName(1);
    const std::string written = device + ": " + std::strerror(EIO);
    EXPECT_EQ(Form().Fields().PortNote[1], "COM1 (" + device + "): " + std::strerror(EIO));
    EXPECT_NE(app::DescribeEnding(Form().Outcome()).find("(Failed to put entire block): " + written),
              std::string::npos)
        << app::DescribeEnding(Form().Outcome());

    // The next start removes what the broken run left behind.
    StartApp(PackFlasher(NoBootImage()));
    Scan();
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});
}

} // namespace
} // namespace tollander::e2e
