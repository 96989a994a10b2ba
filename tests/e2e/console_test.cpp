// The console front end, packed as a vendor would ship it: stdout carries the
// event log, the exit status tells how the run ended.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "payload/sha256.h"
#include "tests/e2e/fixture.h"

namespace tollander::e2e {
namespace {

class Console : public E2eTest {
protected:
    std::string Flasher() {
        const std::string sample = BinDir() + "/tollander-flash-console-sample";
        if (!std::filesystem::exists(sample)) return {};
        return sample;
    }
};

TEST_F(Console, WholeUpgradeExitsZeroWithTheEventLogOnStdout) {
    const std::string flasher = Flasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    auto& modem = Modem(1);
    const auto run = RunProgram({flasher}, "f\n", 180s);

    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(Lines(run.out), ConsoleWholeUpgradeLines());
    ASSERT_EQ(modem.SavedImages(), 2);
    EXPECT_TRUE(modem.SavedImage(1) == ReadFile(FirmwareDir() + "/FLS0228.HEX"));
    EXPECT_TRUE(modem.SavedImage(2) == ReadFile(FirmwareDir() + "/F2ZE0529.HEX"));
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});

    // The run record holds what a vendor needs: the log with times, the
    // images' digests, the port and its device, and how the run ended.
    const std::string record = ReadFile(dir_ + "/state/tollander-flash/runs.log");
    std::size_t at = record.find("Event log:\n");
    for (const std::string& line : Lines(run.out)) {
        // In order, each after its time of day ("  13:45:01.123  ").
        at = record.find(line + "\n", at);
        ASSERT_NE(at, std::string::npos) << line << " missing from\n" << record;
        std::string stamp = record.substr(at - 16, 16);
        for (char& c : stamp)
            if (c >= '0' && c <= '9') c = '9';
        EXPECT_EQ(stamp, "  99:99:99.999  ") << line;
    }
    const std::string exe = ReadFile(flasher);
    const auto length = [&](std::size_t at) {
        const auto* p = reinterpret_cast<const unsigned char*>(exe.data() + exe.size() - 193 + at);
        return static_cast<std::size_t>(p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24);
    };
    const std::size_t main_start = exe.size() - 193 - length(4);
    const std::size_t boot_start = main_start - length(0);
    const auto sha = [&](std::size_t start, std::size_t size) {
        payload::Sha256 h;
        h.Update(exe.data() + start, size);
        return h.FinishHex();
    };
    for (const std::string& part :
         {"Boot image   = SHA-256 " + sha(boot_start, length(0)) + " (matches",
          "Main image   = SHA-256 " + sha(main_start, length(4)) + " (matches",
          "Port used    = COM1 (" + modem.Device() + ")", std::string("Boot Model   = xx166301"),
          std::string(" upgrade completed; exit status 0\n")})
        EXPECT_NE(record.find(part), std::string::npos) << part << " missing from\n" << record;
}

TEST_F(Console, NoModemExitsTwo) {
    const std::string flasher = Flasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    const auto run = RunProgram({flasher}, "", 60s);

    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_EQ(Lines(run.out), ConsoleNoModemLines());
}

TEST_F(Console, ARecordThatCannotBeWrittenIsSaidOnceAndStopsNothing) {
    const std::string flasher = Flasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    // A file where the state directory should be.
    const std::string state = dir_ + "/state-file";
    { std::ofstream(state) << ""; }
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    Child run({flasher}, "");
    EXPECT_EQ(run.Finish(60s), 2) << run.Output();

    const std::string& out = run.Output();
    std::size_t said = 0;
    for (const std::string& line : Lines(out))
        if (line.rfind("tollander-flash-console: run record not written: " + state, 0) == 0) ++said;
    EXPECT_EQ(said, 1u) << out;
    for (const std::string& line : ConsoleNoModemLines())
        EXPECT_NE(out.find(line + "\n"), std::string::npos) << line << " missing from\n" << out;
}

TEST_F(Console, WrongCountryExitsThree) {
    const std::string flasher = Flasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    auto& modem = Modem(1, {"--country", "022"});
    const auto run = RunProgram({flasher}, "f\n", 60s);

    EXPECT_EQ(run.status, 3) << run.out;
    EXPECT_EQ(Lines(run.out), ConsoleWrongCountryLines());
    EXPECT_EQ(modem.SavedImages(), 0);
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});

    // stderr says, right after the message, which country the modem gave and
    // which this flasher accepts; the run record keeps both.
    const std::string why = "the modem gave country 022 (Asean); this flasher accepts U.K. (4), "
                            "Netherlands (7), Belgium (12)";
    Child again({flasher}, "f\n");
    EXPECT_EQ(again.Finish(60s), 3) << again.Output();
    EXPECT_NE(again.Output().find("Incorrect flash utility for modem.\ntollander-flash-console: " +
                                  why + "\n"),
              std::string::npos)
        << again.Output();
    const std::string record = ReadFile(dir_ + "/state/tollander-flash/runs.log");
    EXPECT_NE(record.find("wrong flash utility for the modem's country (" + why +
                          "); nothing was sent; exit status 3\n"),
              std::string::npos)
        << record;
}

} // namespace
} // namespace tollander::e2e
