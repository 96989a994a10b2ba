// The Windows console flasher under Wine against the virtual modem. Each test
// has a Wine prefix of its own, copied from the Windows build's, whose COM1
// leads to the modem's pseudo-terminal through Wine's Ports registry key
// (COM2 to COM4 to nothing), so runs side by side never share a port.
//
// Every case runs twice: on a bare pseudo-terminal, whose missing modem lines
// make Wine end each WaitCommEvent at once, and on one that answers as a UART
// does (uart_pty_shim preloaded), where a wait stays pending until something
// arrives, as it does on a real COM port.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/common/signature_cases.h"
#include "tests/e2e/fixture.h"
#include "tests/e2e/serial_server.h"
#include "tests/serial_contract/far_end_server.h"

namespace tollander::e2e {
namespace {

namespace fs = std::filesystem;

std::string Env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

// The key the Windows build's programs carry (made by that build).
std::string WindowsSampleKey() {
    return Env("TOLLANDER_WINDOWS_BIN", "") + "/../keys/sample-vendor.pem";
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

enum class Line { Pty, Uart };

std::string LineName(const ::testing::TestParamInfo<Line>& info) {
    return info.param == Line::Pty ? "Pty" : "UartLikePty";
}

class WinePrefix : public E2eTest {
protected:
    void SetUpPrefix(Line line) {
        flasher_ = Env("TOLLANDER_WINDOWS_BIN", "") + "/tollander-flash-console-sample.exe";
        template_ = Env("TOLLANDER_WINE_TEMPLATE", "");
        if (!fs::exists(flasher_) || !fs::exists(template_ + "/system.reg"))
            GTEST_SKIP() << "no Windows build with a Wine prefix";
        if (line == Line::Uart) {
            shim_ = Env("TOLLANDER_UART_SHIM", "");
            if (!fs::exists(shim_)) GTEST_SKIP() << "no UART shim built";
        }
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

    // COM1 to `device`, the other three to a name with nothing behind it,
    // and any `more` ports ("COM7" to a device).
    void MapComPorts(const std::string& device,
                     const std::vector<std::pair<std::string, std::string>>& more = {}) {
        std::vector<std::pair<std::string, std::string>> ports{{"COM1", device}};
        for (int n = 2; n <= 4; ++n)
            ports.emplace_back("COM" + std::to_string(n), dir_ + "/no-port");
        ports.insert(ports.end(), more.begin(), more.end());
        // Wine opens COMn through the prefix's link dosdevices/comn, which its
        // mount manager makes from the Ports key only once the prefix's
        // services have started: a program quicker than that would open the
        // copied prefix's own link (COM1 to /dev/ttyS0, no modem there). The
        // links are laid here as the key will have them.
        const fs::path dos = prefix_ + "/dosdevices";
        std::vector<fs::path> old_links;
        for (const auto& entry : fs::directory_iterator(dos))
            if (entry.path().filename().string().rfind("com", 0) == 0)
                old_links.push_back(entry.path());
        for (const auto& link : old_links)
            fs::remove(link);
        for (const auto& [name, path] : ports) {
            std::string link = name;
            std::transform(link.begin(), link.end(), link.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            fs::create_symlink(path, dos / link);
        }
        const std::string reg = prefix_ + "/system.reg";
        std::ifstream in(reg);
        std::ostringstream out;
        bool in_ports = false;
        for (std::string line; std::getline(in, line);) {
            out << line << '\n';
            if (line.rfind("[Software\\\\Wine\\\\Ports]", 0) == 0) in_ports = true;
            if (in_ports && line.rfind("#time=", 0) == 0) {
                for (const auto& [name, path] : ports)
                    out << "\"" << name << "\"=\"" << path << "\"\n";
                in_ports = false;
            }
        }
        in.close();
        std::ofstream(reg) << out.str();
    }

    // A Windows program under Wine, the UART shim preloaded for that line;
    // the Linux port map's variables stay behind.
    std::vector<std::string> WineCommand(const std::string& program,
                                         const std::vector<std::string>& env = {},
                                         const std::vector<std::string>& args = {}) const {
        std::vector<std::string> argv{"/usr/bin/env"};
        for (int n = 1; n <= 4; ++n)
            argv.push_back("--unset=TOLLANDER_COM" + std::to_string(n));
        argv.insert(argv.end(),
                    {"WINEPREFIX=" + prefix_, "WINEDEBUG=-all",
                     "WINEDLLOVERRIDES=mscoree,mshtml=;winealsa.drv,winepulse.drv=", "DISPLAY="});
        if (!shim_.empty()) argv.push_back("LD_PRELOAD=" + shim_);
        argv.insert(argv.end(), env.begin(), env.end());
        argv.insert(argv.end(), {Env("TOLLANDER_WINE", "/usr/lib/wine/wine64"), program});
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    // The prefix's server ends with its last program; waited for.
    void AwaitWineServer() {
        RunProgram({"/usr/bin/env", "WINEPREFIX=" + prefix_,
                    Env("TOLLANDER_WINESERVER", "/usr/lib/wine/wineserver"), "-w"},
                   "", 30s);
    }

    ChildResult RunFlasher(const std::string& input, std::chrono::milliseconds limit,
                           const std::vector<std::string>& env = {}) {
        auto run = RunProgram(WineCommand(flasher_, env), input, limit);
        AwaitWineServer();
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

    // The run record the flasher left in the prefix's user folders.
    std::string WindowsRecord() const {
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(prefix_ + "/drive_c/users", ec))
            if (entry.path().filename() == "runs.log") return ReadFile(entry.path().string());
        return "(no runs.log in the prefix)";
    }

    std::string flasher_, template_, prefix_, shim_;
};

class WineConsole : public WinePrefix, public ::testing::WithParamInterface<Line> {
protected:
    void SetUp() override {
        WinePrefix::SetUp();
        SetUpPrefix(GetParam());
    }
};

INSTANTIATE_TEST_SUITE_P(Lines, WineConsole, ::testing::Values(Line::Pty, Line::Uart), LineName);

TEST_P(WineConsole, WholeUpgradeSendsBothImagesByteForByte) {
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

TEST_P(WineConsole, NoModemFound) {
    MapComPorts(dir_ + "/no-port");
    const auto run = RunFlasher("", 120s);

    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_EQ(WindowsLines(run.out), ConsoleNoModemLines());
}

// Every port opened by the scan stays silent: each close must end the
// pending wait on it.
TEST_P(WineConsole, ScanOfASilentPortEnds) {
    auto& modem = Modem(1, {"--mute"});
    MapComPorts(modem.Device());
    const auto run = RunFlasher("", 120s);

    auto lines = ConsoleNoModemLines();
    lines.insert(lines.begin() + 1, "No device present on COM1.");
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_EQ(WindowsLines(run.out), lines);
}

TEST_P(WineConsole, QuitAfterTheScan) {
    auto& modem = Modem(1);
    MapComPorts(modem.Device());
    const auto run = RunFlasher("q\n", 120s);

    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_EQ(WindowsLines(run.out), ScanOneModemLines());
}

TEST_P(WineConsole, WrongCountryEndsWithoutSending) {
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
TEST_P(WineConsole, AFlasherCutShortStopsBeforeAnyPort) {
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

TEST_P(WineConsole, HangUpInTheMainImageFailsTheUpload) {
    auto& modem = Modem(1, {"--hangup-after", "200000"});
    MapComPorts(modem.Device());
    const auto run = RunFlasher("f\n", 240s);

    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_EQ(WindowsLines(run.out), ConsoleHangUpInMainImageLines());
    EXPECT_EQ(modem.SavedImages(), 1);
    // The writes the gone device refused: Windows' words and code on COM1's
    // row in the run record, and in the upload's ending.
    const std::string record = WindowsRecord();
    const std::string note = "\n    COM1 (\\\\.\\COM1): ";
    const auto at = record.find(note);
    ASSERT_NE(at, std::string::npos) << record;
    const std::string words = record.substr(at + note.size(), record.find('\n', at + 1) - at - note.size());
    EXPECT_NE(words.find(" (error "), std::string::npos) << record;
    EXPECT_NE(record.find("(Failed to put entire block): \\\\.\\COM1: " + words), std::string::npos)
        << record;
}

// The output of a program on a terminal of its own (Wine gives a console
// program a console there), its input at its end; until the program ends.
std::string RunOnTerminal(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    winsize size{};
    size.ws_row = 25;
    size.ws_col = 200;
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0) return {};
    if (pid == 0) {
        const int none = open("/dev/null", O_RDONLY);
        dup2(none, 0);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    fcntl(master, F_SETFL, O_NONBLOCK);
    // Wine's own processes keep the terminal open after the program ended:
    // its end is the end of the output.
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (bool done = false; !done;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p[2] = {{master, POLLIN, 0}, {ended, POLLIN, 0}};
        if (left.count() <= 0 || poll(p, 2, static_cast<int>(left.count())) <= 0) break;
        done = p[1].revents != 0;
        // Once the program ended, all the terminal still holds.
        char buffer[4096];
        for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
            out.append(buffer, static_cast<std::size_t>(n));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(ended);
    close(master);
    return out;
}

class WineProgram : public WinePrefix {
protected:
    void SetUp() override {
        WinePrefix::SetUp();
        SetUpPrefix(Line::Pty);
    }
};

// Each flasher that is not the vendor's as signed: the Windows program
// (BCrypt) refuses it at start-up with the code the Linux one gives, and the
// modem hears nothing.
TEST_F(WineProgram, FlashersNotTheVendorsStopBeforeAnyPort) {
    const std::string program = Env("TOLLANDER_WINDOWS_BIN", "") + "/tollander-flash-console.exe";
    PackConfig config;
    config.sign_key = WindowsSampleKey();
    const std::string signed_file = ReadFile(PackFlasher(config, program));
    config.sign_key.clear();
    const std::string unsigned_file = ReadFile(PackFlasher(config, program));
    const auto other = platform::SigningKey::Load(std::string(TOLLANDER_KEY_DIR) + "/other-vendor.pem",
                                                  std::nullopt);
    int n = 0;
    for (const payload::SignatureCase& c : payload::SignatureCases(
             {signed_file.begin(), signed_file.end()}, {unsigned_file.begin(), unsigned_file.end()},
             other)) {
        if (c.with_keys == 0) continue;
        SCOPED_TRACE(c.what);
        auto& modem = Modem(1);
        MapComPorts(modem.Device());
        flasher_ = dir_ + "/case" + std::to_string(++n) + ".exe";
        std::ofstream(flasher_, std::ios::binary)
            .write(reinterpret_cast<const char*>(c.file.data()),
                   static_cast<std::streamsize>(c.file.size()));
        const auto run = RunFlasher("", 120s);

        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_EQ(WindowsLines(run.out),
                  (std::vector<std::string>{" flash utility initialized...",
                                            "Flash data integrity check failed.  Failure code  " +
                                                std::to_string(c.with_keys),
                                            "Complete."}));
        EXPECT_EQ(modem.Commands(), std::vector<std::string>{});
        EXPECT_EQ(WindowsTempFiles(), std::vector<std::string>{});
    }
}

// A German flasher's event log on a Windows console reads as German: the
// text goes to the console as UTF-16, not as bytes of its code page.
TEST_F(WineProgram, GermanOnAConsoleReadsAsGerman) {
    PackConfig config;
    config.language = "de";
    config.sign_key = WindowsSampleKey();
    const std::string packed =
        PackFlasher(config, Env("TOLLANDER_WINDOWS_BIN", "") + "/tollander-flash-console.exe");
    flasher_ = packed + ".exe";
    fs::rename(packed, flasher_);
    MapComPorts(dir_ + "/no-port");
    auto argv = WineCommand(flasher_);
    argv.insert(argv.begin() + 1, "LANG=C.UTF-8");
    const std::string out = RunOnTerminal(argv, 120s);
    AwaitWineServer();

    EXPECT_NE(out.find("Keinen Modem zum programmierend gefunden."), std::string::npos) << out;
    EXPECT_NE(out.find("Machen Sie sich sicher dass der Modem is eingeschaltet und dann "
                       "drücken Sie die \"Start Over\" Knopf."),
              std::string::npos)
        << out;
}

// The console program as built, with no firmware appended, says so and ends
// with its own status before it opens a port.
TEST_F(WineProgram, AProgramWithoutFirmwareSaysSoAndOpensNoPort) {
    auto& modem = Modem(1);
    MapComPorts(modem.Device());
    // Its stdout and stderr together.
    Child run(WineCommand(Env("TOLLANDER_WINDOWS_BIN", "") + "/tollander-flash-console.exe"), "");
    const int status = run.Finish(120s);
    AwaitWineServer();

    EXPECT_EQ(status, 4) << run.Output();
    const auto lines = WindowsLines(run.Output());
    ASSERT_EQ(lines.size(), 2u) << run.Output();
    EXPECT_EQ(lines[0].rfind("tollander-flash-console: This program carries no firmware", 0), 0u);
    EXPECT_EQ(lines[1], "No upgrade: this program carries no firmware");
    modem.ExpectNeverOpened();
}

// --list-ports names every COM port Windows has, marks those of this run
// and tells how to map another.
TEST_F(WineProgram, ListPortsNamesEveryComPort) {
    auto& modem = Modem(1);
    MapComPorts(modem.Device(), {{"COM7", modem.Device()}});
    const auto run = RunProgram(WineCommand(Env("TOLLANDER_WINDOWS_BIN", "") +
                                                "/tollander-flash-console.exe",
                                            {}, {"--list-ports"}),
                                "", 120s);
    AwaitWineServer();

    EXPECT_EQ(run.status, 0) << run.out;
    const auto lines = WindowsLines(run.out);
    const auto at = std::find(lines.begin(), lines.end(), "Serial ports of this system:");
    ASSERT_NE(at, lines.end()) << run.out;
    // Wine adds ports of its own (COM5 and the like) to those mapped here.
    const auto listed = [&](const std::string& line) {
        return std::find(at, lines.end(), line) != lines.end();
    };
    for (int n = 1; n <= 4; ++n) {
        const std::string port = "COM" + std::to_string(n);
        EXPECT_TRUE(listed("  " + port + " (" + port + " of this run)")) << run.out;
    }
    EXPECT_TRUE(listed("  COM7")) << run.out;
    EXPECT_EQ(lines.back().rfind("To use COM", 0), 0u) << run.out;
    EXPECT_NE(lines.back().find(" as COM1 of this run: set TOLLANDER_COM1=COM"), std::string::npos)
        << run.out;
}

// The serial device's own test program (serial_device_wine_tests.exe) on
// COM1, a pseudo-terminal this test keeps silent, floods or takes away.
enum class Far { Silent, Busy, Vanishing };

class WineSerialDevice : public WinePrefix,
                         public ::testing::WithParamInterface<std::tuple<Line, Far>> {
protected:
    void SetUp() override {
        WinePrefix::SetUp();
        SetUpPrefix(std::get<0>(GetParam()));
        program_ = Env("TOLLANDER_WINDOWS_BIN", "") + "/serial_device_wine_tests.exe";
        if (!IsSkipped() && !fs::exists(program_)) GTEST_SKIP() << "no " << program_;
    }

    std::string program_;
};

std::string DeviceCaseName(const ::testing::TestParamInfo<std::tuple<Line, Far>>& info) {
    static const char* const kFar[] = {"Silent", "Busy", "Vanishing"};
    return LineName({std::get<0>(info.param), 0}) + kFar[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Lines, WineSerialDevice,
                         ::testing::Combine(::testing::Values(Line::Pty, Line::Uart),
                                            ::testing::Values(Far::Silent, Far::Busy,
                                                              Far::Vanishing)),
                         DeviceCaseName);

TEST_P(WineSerialDevice, CloseEndsThePendingWait) {
    const Far far = std::get<1>(GetParam());
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    MapComPorts(ptsname(master));

    // A busy far end sends until the test ends (told through a pipe).
    int stop[2];
    ASSERT_EQ(pipe2(stop, O_CLOEXEC), 0);
    std::thread sender;
    if (far == Far::Busy)
        sender = std::thread([&] {
            const std::string chunk(256, 'x');
            for (;;) {
                pollfd fds[2] = {{master, POLLOUT, 0}, {stop[0], POLLIN, 0}};
                if (poll(fds, 2, -1) < 0 || fds[1].revents != 0) return;
                if (write(master, chunk.data(), chunk.size()) < 0 && errno != EAGAIN) return;
            }
        });
    const char* kLine[] = {"TOLLANDER_LINE=silent", "TOLLANDER_LINE=busy",
                           "TOLLANDER_LINE=vanishing"};
    Child run(WineCommand(program_, {kLine[static_cast<int>(far)]},
                          {"--gtest_filter=SerialDeviceOnCom1.CloseEndsThePendingWait"}),
              "");
    const bool opened = run.WaitFor(std::regex("opened"), 60s);
    if (far == Far::Vanishing) {
        close(master);
        master = -1;
    }
    const int status = run.Finish(60s);
    [[maybe_unused]] const auto told = write(stop[1], "", 1);
    if (sender.joinable()) sender.join();
    close(stop[0]);
    close(stop[1]);
    if (master >= 0) close(master);
    AwaitWineServer();

    EXPECT_TRUE(opened) << run.Output();
    EXPECT_EQ(status, 0) << run.Output();
    EXPECT_NE(run.Output().find("[  PASSED  ] 1 test"), std::string::npos) << run.Output();
}

// Lines that the UART shim makes misbehave, each in a case of the serial
// device's own test program.
class WineUartLine : public WinePrefix {
protected:
    void SetUp() override {
        WinePrefix::SetUp();
        SetUpPrefix(Line::Uart);
        program_ = Env("TOLLANDER_WINDOWS_BIN", "") + "/serial_device_wine_tests.exe";
        if (!IsSkipped() && !fs::exists(program_)) GTEST_SKIP() << "no " << program_;
    }

    // The program's case `name` on COM1, a pseudo-terminal, with the shim's
    // `setting`; passes when that case passed.
    void RunCase(const std::string& setting, const std::string& name) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        MapComPorts(ptsname(master));
        const auto run = RunProgram(
            WineCommand(program_, {setting + "=1"}, {"--gtest_filter=SerialDeviceOnCom1." + name}),
            "", 60s);
        close(master);
        AwaitWineServer();

        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.out;
    }

    std::string program_;
};

// A line that refuses its settings, as a driver refuses a rate it cannot
// make: the device's open fails with Windows' words and code.
TEST_F(WineUartLine, ThatRefusesItsSettingsFailsTheOpenWithTheReason) {
    RunCase("UART_SHIM_REFUSE_SETTINGS", "AnOpenThatTheLineRefusesFails");
}

// Line errors reach the device as line-error events.
TEST_F(WineUartLine, WithLineErrorsEndsAWaitForThem) {
    RunCase("UART_SHIM_LINE_ERRORS", "ALineErrorEndsTheWait");
}

// The serial device contract (tests/serial_contract) on the Win32 device:
// its program under Wine, COM1 a pseudo-terminal this test's far-end server
// makes afresh for each case and plays, COM5 a plain file.
class WineSerialContract : public WinePrefix, public ::testing::WithParamInterface<Line> {
protected:
    void SetUp() override {
        WinePrefix::SetUp();
        SetUpPrefix(GetParam());
        program_ = Env("TOLLANDER_WINDOWS_BIN", "") + "/serial_contract_wine_tests.exe";
        if (!IsSkipped() && !fs::exists(program_)) GTEST_SKIP() << "no " << program_;
    }

    std::string program_;
};

INSTANTIATE_TEST_SUITE_P(Lines, WineSerialContract, ::testing::Values(Line::Pty, Line::Uart),
                         LineName);

TEST_P(WineSerialContract, HoldsOnCom1) {
    const std::string line = dir_ + "/line";
    test::FarEndServer far_end(line);
    std::ofstream(dir_ + "/plain-file") << "x";
    MapComPorts(line, {{"COM5", dir_ + "/plain-file"}});
    const auto run = RunProgram(
        WineCommand(program_, {std::string(test::far_end::kVariable) + "=" + far_end.Address()}),
        "", 300s);
    AwaitWineServer();

    // Quoted without gtest's skip marks, which would make CTest count this
    // test as skipped.
    const std::string out = std::regex_replace(run.out, std::regex(R"(\[  SKIPPED \])"), "[ skipped ]");
    EXPECT_EQ(run.status, 0) << out;
    // All but the two cases the device under Wine has no part in (see
    // win32_contract_test.cpp) passed.
    EXPECT_NE(out.find("[  PASSED  ] 10 tests."), std::string::npos) << out;
}

} // namespace
} // namespace tollander::e2e

namespace tollander::e2e {
namespace {

// The Windows flasher reaches the modem through ser2net on the loopback
// address, its COM1 named by TOLLANDER_COM1 (Winsock's sockets under Wine).
class WineSerialServer : public WinePrefix, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        WinePrefix::SetUp();
        SetUpPrefix(Line::Pty);
    }
};

INSTANTIATE_TEST_SUITE_P(Schemes, WineSerialServer, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "rfc2217" : "socket"; });

TEST_P(WineSerialServer, WholeUpgradeSendsBothImagesByteForByte) {
    auto& modem = ServedModem({"--rate", "11520"});
    Ser2net server(dir_, modem.Device());
    MapComPorts(dir_ + "/no-port");
    const auto port = GetParam() ? server.Rfc2217() : server.Raw();
    const auto run = RunFlasher("f\n", 300s, {"TOLLANDER_COM1=" + port});

    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(WindowsLines(run.out), ConsoleWholeUpgradeLines());
    ASSERT_EQ(modem.SavedImages(), 2);
    EXPECT_TRUE(modem.SavedImage(1) == ReadFile(FirmwareDir() + "/FLS0228.HEX"));
    EXPECT_TRUE(modem.SavedImage(2) == ReadFile(FirmwareDir() + "/F2ZE0529.HEX"));
}

} // namespace
} // namespace tollander::e2e
