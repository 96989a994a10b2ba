// The Windows console flasher under Wine against the virtual modem. Each test
// has a Wine prefix of its own, copied from the Windows build's, whose COM1
// leads to the modem's pseudo-terminal through Wine's Ports registry key
// (COM2 to COM4 to nothing), so runs side by side never share a port.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/e2e/fixture.h"

namespace tollander::e2e {
namespace {

namespace fs = std::filesystem;

std::string Env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

// Console lines as Windows writes them, without the carriage returns.
std::vector<std::string> WindowsLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

class WineConsole : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        flasher_ = Env("TOLLANDER_WINDOWS_BIN", "") + "/tollander-flash-console-sample.exe";
        template_ = Env("TOLLANDER_WINE_TEMPLATE", "");
        if (!fs::exists(flasher_) || !fs::exists(template_ + "/system.reg"))
            GTEST_SKIP() << "no Windows build with a Wine prefix";
        prefix_ = dir_ + "/wine";
        // The build's own runs may still have its server saving the registry.
        RunProgram({"/usr/bin/env", "WINEPREFIX=" + template_,
                    Env("TOLLANDER_WINESERVER", "/usr/lib/wine/wineserver"), "-w"},
                   "", 60s);
        // A copy is made in a second; a new prefix takes ten.
        fs::copy(template_, prefix_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }

    void TearDown() override {
        fs::remove_all(prefix_);
        E2eTest::TearDown();
    }

    // COM1 to `device`, the other three to a name with nothing behind it.
    void MapComPorts(const std::string& device) {
        const std::string reg = prefix_ + "/system.reg";
        std::ifstream in(reg);
        std::ostringstream out;
        bool in_ports = false;
        for (std::string line; std::getline(in, line);) {
            out << line << '\n';
            if (line.rfind("[Software\\\\Wine\\\\Ports]", 0) == 0) in_ports = true;
            if (in_ports && line.rfind("#time=", 0) == 0) {
                out << "\"COM1\"=\"" << device << "\"\n";
                for (int n = 2; n <= 4; ++n)
                    out << "\"COM" << n << "\"=\"" << dir_ << "/no-port\"\n";
                in_ports = false;
            }
        }
        in.close();
        std::ofstream(reg) << out.str();
    }

    // The flasher under Wine; the Linux port map's variables stay behind.
    ChildResult RunFlasher(const std::string& input, std::chrono::milliseconds limit) {
        std::vector<std::string> argv{"/usr/bin/env"};
        for (int n = 1; n <= 4; ++n)
            argv.push_back("--unset=TOLLANDER_COM" + std::to_string(n));
        argv.insert(argv.end(),
                    {"WINEPREFIX=" + prefix_, "WINEDEBUG=-all",
                     "WINEDLLOVERRIDES=mscoree,mshtml=;winealsa.drv,winepulse.drv=", "DISPLAY=",
                     Env("TOLLANDER_WINE", "/usr/lib/wine/wine64"), flasher_});
        auto run = RunProgram(argv, input, limit);
        // The prefix's server ends with its last program; wait for it.
        RunProgram({"/usr/bin/env", "WINEPREFIX=" + prefix_,
                    Env("TOLLANDER_WINESERVER", "/usr/lib/wine/wineserver"), "-w"},
                   "", 30s);
        return run;
    }

    // Files the run left in the user's temporary folder of the prefix.
    std::vector<std::string> WindowsTempFiles() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& user : fs::directory_iterator(prefix_ + "/drive_c/users", ec))
            for (const auto& entry :
                 fs::recursive_directory_iterator(user.path() / "Temp" / "tollander-flash", ec))
                if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
        return names;
    }

    std::string flasher_, template_, prefix_;
};

TEST_F(WineConsole, WholeUpgradeSendsBothImagesByteForByte) {
    auto& modem = Modem(1, {"--expect", FirmwareDir() + "/FLS0228.HEX", "--expect",
                            FirmwareDir() + "/F2ZE0529.HEX"});
    MapComPorts(modem.Device());
    const auto run = RunFlasher("f\n", 240s);

    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(WindowsLines(run.out), ConsoleWholeUpgradeLines());
    ASSERT_EQ(modem.SavedImages(), 2);
    EXPECT_TRUE(modem.SavedImage(1) == ReadFile(FirmwareDir() + "/FLS0228.HEX"));
    EXPECT_TRUE(modem.SavedImage(2) == ReadFile(FirmwareDir() + "/F2ZE0529.HEX"));
    EXPECT_EQ(WindowsTempFiles(), std::vector<std::string>{});
}

TEST_F(WineConsole, NoModemFound) {
    MapComPorts(dir_ + "/no-port");
    const auto run = RunFlasher("", 120s);

    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_EQ(WindowsLines(run.out), ConsoleNoModemLines());
}

TEST_F(WineConsole, WrongCountryEndsWithoutSending) {
    auto& modem = Modem(1, {"--country", "022"});
    MapComPorts(modem.Device());
    const auto run = RunFlasher("f\n", 120s);

    EXPECT_EQ(run.status, 3) << run.out;
    EXPECT_EQ(WindowsLines(run.out), ConsoleWrongCountryLines());
    EXPECT_EQ(modem.SavedImages(), 0);
    EXPECT_EQ(WindowsTempFiles(), std::vector<std::string>{});
}

// A flasher whose end was cut off: its PE headers tell where the payload
// began, and it stops at start-up without opening a port.
TEST_F(WineConsole, AFlasherCutShortStopsBeforeAnyPort) {
    auto& modem = Modem(1);
    MapComPorts(modem.Device());
    const std::string cut = dir_ + "/cut.exe";
    fs::copy_file(flasher_, cut);
    fs::resize_file(cut, fs::file_size(cut) - 1);
    flasher_ = cut;
    const auto run = RunFlasher("", 120s);

    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_EQ(WindowsLines(run.out),
              (std::vector<std::string>{" flash utility initialized...",
                                        "Flash data integrity check failed.  Failure code  -4",
                                        "Complete."}));
    EXPECT_EQ(modem.Commands(), std::vector<std::string>{});
    EXPECT_EQ(WindowsTempFiles(), std::vector<std::string>{});
}

TEST_F(WineConsole, HangUpInTheMainImageFailsTheUpload) {
    auto& modem = Modem(1, {"--hangup-after", "200000"});
    MapComPorts(modem.Device());
    const auto run = RunFlasher("f\n", 240s);

    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_EQ(WindowsLines(run.out), ConsoleHangUpInMainImageLines());
    EXPECT_EQ(modem.SavedImages(), 1);
}

} // namespace
} // namespace tollander::e2e
