// The flashers as a user meets them on the command line: the options they
// answer before touching any port or temporary file, the port listing, and
// the reason beside each row that could not be used (stderr, every run).
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <map>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "platform/crypto/crypto.h"
#include "tests/e2e/fixture.h"
#include "tests/pty/pty_fixture.h"

extern char** environ;

namespace tollander::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uid_t kNobody = 65534;

struct Outcome {
    int status = -1; // exit status; -1 when killed at the guard's deadline
    std::string out;
    std::string err;
};

struct Launch {
    std::vector<std::string> argv;
    std::map<std::string, std::string> env; // added to ours
    std::vector<std::string> unset;         // taken from ours
    bool as_nobody = false;                 // through setpriv, as an ordinary user
    gid_t gid = kNobody;                    // ... in this group alone
    std::string cwd;                        // "" keeps ours
    std::string input;                      // its standard input ("" : empty)
    std::function<void()> in_child;         // run in the child just before the program
};

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Runs a program to its end: stdin empty, stdout and stderr kept apart.
Outcome RunLaunch(const Launch& launch, const std::string& scratch) {
    std::vector<std::string> argv;
    if (launch.as_nobody)
        argv = {"setpriv", "--reuid=" + std::to_string(kNobody),
                "--regid=" + std::to_string(launch.gid), "--clear-groups", "--"};
    argv.insert(argv.end(), launch.argv.begin(), launch.argv.end());
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (!launch.env.count(name) &&
            std::find(launch.unset.begin(), launch.unset.end(), name) == launch.unset.end())
            env_text.push_back(entry);
    }
    for (const auto& [name, value] : launch.env)
        env_text.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : env_text)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const std::string in_path = scratch + "/run.in";
    const std::string out_path = scratch + "/run.out";
    const std::string err_path = scratch + "/run.err";
    std::ofstream(in_path) << launch.input;
    const int in = open(in_path.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Outcome outcome;
    if (in < 0 || out < 0 || err < 0) return outcome;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (!launch.cwd.empty() && chdir(launch.cwd.c_str()) != 0) _exit(126);
        if (launch.in_child) launch.in_child();
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(in);
    close(out);
    close(err);
    if (pid < 0) return outcome;
    // A guard only: each run ends by itself within seconds.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd p{pidfd, POLLIN, 0};
    const bool ended = pidfd >= 0 && poll(&p, 1, 120'000) == 1;
    if (!ended) kill(pid, SIGKILL);
    int raw = 0;
    waitpid(pid, &raw, 0);
    if (pidfd >= 0) close(pidfd);
    if (ended && WIFEXITED(raw)) outcome.status = WEXITSTATUS(raw);
    outcome.out = ReadFile(out_path);
    outcome.err = ReadFile(err_path);
    return outcome;
}

std::string OwnCommandName() {
    std::string name = ReadFile("/proc/self/comm");
    while (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

std::string Holder() {
    return OwnCommandName() + " (PID " + std::to_string(getpid()) + ")";
}

const std::string kMissingAdvice =
    "no such device; check that the modem's adapter is plugged in and the port mapped to it";

// The first 12 hex digits of a file's SHA-256.
std::string ShortDigest(const std::string& path) {
    const std::string text = ReadFile(path);
    platform::Sha256 sha;
    sha.Update(text.data(), text.size());
    return sha.FinishHex().substr(0, 12);
}

// A home of the ordinary user's own, with its private and state directories
// and a copy of the flasher (the scratch directory and the build may be
// root's alone); removed with the test.
struct OrdinaryHome {
    explicit OrdinaryHome(const std::string& flasher_to_copy) {
        home = (fs::temp_directory_path() / "tollander-nobody-XXXXXX").string();
        if (!mkdtemp(home.data())) throw std::runtime_error("mkdtemp");
        chmod(home.c_str(), 0755);
        flasher = home + "/flasher";
        fs::copy_file(flasher_to_copy, flasher);
        chmod(flasher.c_str(), 0755);
        for (const std::string& d : {home + "/runtime", home + "/state", home + "/tmp", home}) {
            mkdir(d.c_str(), 0700); // the home is there already
            if (chown(d.c_str(), kNobody, kNobody) != 0)
                throw std::runtime_error("cannot give " + d + " to the ordinary user");
        }
    }
    ~OrdinaryHome() {
        std::error_code ignored;
        fs::remove_all(home, ignored);
    }
    OrdinaryHome(const OrdinaryHome&) = delete;
    OrdinaryHome& operator=(const OrdinaryHome&) = delete;

    std::string home;
    std::string flasher;
};

// The errno of the ordinary user's open of `device` for reading and writing,
// 0 when it opens.
int OpenAsOrdinaryUser(const std::string& device) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
            setresuid(kNobody, kNobody, kNobody) != 0)
            _exit(255);
        const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno);
    }
    int raw = 0;
    waitpid(child, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 255;
}

class FlasherCli : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        // The run's private and state directories, to see that nothing was
        // made there.
        runtime_ = dir_ + "/runtime";
        state_ = dir_ + "/state";
        fs::create_directories(runtime_);
        fs::create_directories(state_);
        fs::create_directories(dir_ + "/tmp");
    }

    // The flashers that were built: the console one, and the window one
    // when the build has it.
    static std::vector<std::pair<std::string, std::string>> Flashers() {
        std::vector<std::pair<std::string, std::string>> flashers;
        for (const char* name : {"tollander-flash-console", "tollander-flash"}) {
            const std::string path = BinDir() + "/" + name + "-sample";
            if (fs::exists(path)) flashers.emplace_back(name, path);
        }
        return flashers;
    }

    // The console flasher, "" when the build has none.
    static std::string ConsoleFlasher() {
        const auto flashers = Flashers();
        if (flashers.empty() || flashers.front().first != "tollander-flash-console") return {};
        return flashers.front().second;
    }

    Outcome RunFlasher(std::vector<std::string> argv, bool as_nobody = false,
                       const std::string& home = "", gid_t gid = kNobody) {
        return RunLaunch(FlasherLaunch(std::move(argv), as_nobody, home, gid), dir_);
    }

    // A flasher run with its own directories (under `home`, else ours).
    Launch FlasherLaunch(std::vector<std::string> argv, bool as_nobody = false,
                         const std::string& home = "", gid_t gid = kNobody) {
        const std::string place = home.empty() ? dir_ : home;
        Launch launch;
        launch.argv = std::move(argv);
        launch.env = {{"XDG_RUNTIME_DIR", place + "/runtime"},
                      {"XDG_STATE_HOME", place + "/state"},
                      {"HOME", place},
                      {"TMPDIR", place + "/tmp"}};
        // The window flasher answers its options without a display too.
        launch.unset = {"DISPLAY", "WAYLAND_DISPLAY"};
        launch.as_nobody = as_nobody;
        launch.gid = gid;
        launch.cwd = place;
        return launch;
    }

    bool Untouched(const std::string& dir) const { return fs::is_empty(dir); }

    std::string runtime_;
    std::string state_;
};

TEST_F(FlasherCli, OptionsAreAnsweredBeforeAnyPortOrFileIsTouched) {
    const auto flashers = Flashers();
    if (flashers.empty()) GTEST_SKIP() << "no flasher built";
    auto& modem = Modem(1);
    enum class Out { Usage, Version, Ports, None };
    struct Case {
        std::vector<std::string> args;
        int status;
        Out out;
        std::string err; // stderr begins with this ("" : stderr empty)
    };
    const std::vector<Case> cases = {
        {{"--help"}, 0, Out::Usage, ""},
        {{"-h"}, 0, Out::Usage, ""},
        {{"/ud", "-h"}, 0, Out::Usage, ""},
        {{"--version"}, 0, Out::Version, ""},
        {{"-V"}, 0, Out::Version, ""},
        {{"/UD", "-V", "ignored"}, 0, Out::Version, ""},
        {{"--list-ports"}, 0, Out::Ports, ""},
        {{"/ud", "--list-ports"}, 0, Out::Ports, ""},
        {{"--frobnicate"}, 2, Out::None, ": unknown option '--frobnicate'\nUsage: "},
        {{"/ud", "-v"}, 2, Out::None, ": unknown option '-v'\nUsage: "},
        {{"/ud", "--list-ports=x"}, 2, Out::None, ": option --list-ports takes no value\n"},
    };
    for (const auto& [program, path] : flashers) {
        for (const auto& c : cases) {
            std::vector<std::string> argv{path};
            argv.insert(argv.end(), c.args.begin(), c.args.end());
            std::string name = program;
            for (const auto& a : c.args)
                name += " " + a;
            SCOPED_TRACE(name);
            const auto run = RunFlasher(argv);
            EXPECT_EQ(run.status, c.status) << run.err;
            const std::string usage = "Usage: " + program + " [/ud] [OPTION]\n";
            const auto out = Lines(run.out);
            switch (c.out) {
            case Out::Usage:
                EXPECT_EQ(run.out.rfind(usage, 0), 0u) << run.out;
                break;
            case Out::Version:
                // The program's version, the About box's, and the firmware
                // the sample flasher carries.
                ASSERT_GE(out.size(), 2u) << run.out;
                EXPECT_EQ(out[0].rfind(program + " ", 0), 0u) << run.out;
                EXPECT_EQ(out[1], "Veltrane Tollander z5 Upgrade Program, Version 1.54/32");
                EXPECT_EQ(std::vector<std::string>(out.begin() + 2, out.end()),
                          (std::vector<std::string>{
                              "Boot model   = xx166301",
                              "Main model   = xx166301",
                              "Boot image   = FLS0228.HEX, 1997-02-28 12:09:00, SHA-256 " +
                                  ShortDigest(FirmwareDir() + "/FLS0228.HEX"),
                              "Main image   = F2ZE0529.HEX, 1997-05-29 11:22:00, SHA-256 " +
                                  ShortDigest(FirmwareDir() + "/F2ZE0529.HEX"),
                              "Language     = English",
                              "Countries    = U.K. (4), Netherlands (7), Belgium (12)",
                          }));
                break;
            case Out::Ports:
                EXPECT_EQ(out.front(), "COM1: " + modem.Device()) << run.out;
                EXPECT_EQ(out.back(), "COM4: no device mapped") << run.out;
                break;
            case Out::None:
                EXPECT_EQ(run.out, "");
                break;
            }
            if (c.err.empty()) {
                EXPECT_EQ(run.err, "");
            } else {
                EXPECT_EQ(run.err.rfind(program + c.err, 0), 0u) << run.err;
                // A usage error shows the whole usage, on stderr.
                EXPECT_NE(run.err.find(usage), std::string::npos);
            }
            EXPECT_TRUE(Untouched(runtime_));
            EXPECT_TRUE(Untouched(state_));
        }
    }
    // A program that carries nothing says so.
    const std::string bare = BinDir() + "/" + flashers.front().first;
    const auto run = RunFlasher({bare, "-V"});
    EXPECT_EQ(run.status, 0);
    const auto out = Lines(run.out);
    ASSERT_EQ(out.size(), 3u) << run.out;
    EXPECT_EQ(out[2].rfind("Firmware     = none: ", 0), 0u) << run.out;
    modem.ExpectNeverOpened();
}

// The program as built, with no firmware appended, says so and how a vendor
// packs one, and ends with its own status before it opens a port, makes a
// temporary file or writes a run record; its options still answer.
TEST_F(FlasherCli, AProgramWithoutFirmwareSaysSoAndOpensNoPort) {
    const auto flashers = Flashers();
    if (flashers.empty()) GTEST_SKIP() << "no flasher built";
    auto& modem = Modem(1);
    for (const auto& [program, sample] : flashers) {
        const std::string bare = BinDir() + "/" + program;
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{}, {"/ud"}, {"/UD", "ignored"}}) {
            std::vector<std::string> argv{bare};
            argv.insert(argv.end(), args.begin(), args.end());
            SCOPED_TRACE(program + " with " + std::to_string(args.size()) + " arguments");
            const auto run = RunFlasher(argv);
            EXPECT_EQ(run.status, 4) << run.err;
            EXPECT_EQ(run.out, "");
            const auto err = Lines(run.err);
            ASSERT_FALSE(err.empty());
            EXPECT_EQ(err[0].rfind(program + ": This program carries no firmware, so it cannot "
                                             "upgrade a modem",
                                   0),
                      0u)
                << run.err;
            EXPECT_NE(err[0].find("with tollander-pack"), std::string::npos) << run.err;
            // The console's last line says how it ended, as every run's does.
            if (program == "tollander-flash-console")
                EXPECT_EQ(err, (std::vector<std::string>{
                                   err[0], "No upgrade: this program carries no firmware"}));
            else
                EXPECT_EQ(err.size(), 1u) << run.err;
            EXPECT_TRUE(Untouched(runtime_));
            EXPECT_TRUE(Untouched(state_));
            EXPECT_TRUE(Untouched(dir_ + "/tmp"));
        }
        for (const char* option : {"--help", "--list-ports"}) {
            const auto run = RunFlasher({bare, option});
            EXPECT_EQ(run.status, 0) << option << ": " << run.err;
            EXPECT_FALSE(run.out.empty()) << option;
        }
    }
    modem.ExpectNeverOpened();
}

TEST_F(FlasherCli, ListPortsTellsEachPortsDeviceAndWhetherItCanBeOpened) {
    const auto flashers = Flashers();
    if (flashers.empty() || flashers.front().first != "tollander-flash-console")
        GTEST_SKIP() << "no console flasher built";
    auto& modem = Modem(1);
    // COM1 through a link, as a /dev/serial/by-id name would be given; this
    // process has it open as another program might.
    const std::string link = dir_ + "/ttyModem";
    fs::create_symlink(modem.Device(), link);
    MapPort(1, link);
    const std::string missing = dir_ + "/no-such-tty";
    MapPort(2, missing);
    const std::string plain_file = dir_ + "/not-a-tty";
    std::ofstream(plain_file) << "x";
    MapPort(3, plain_file);
    const int held = open(modem.Device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);

    const auto run = RunFlasher({flashers.front().second, "--list-ports"});

    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Lines(run.out), (std::vector<std::string>{
                                  "COM1: " + link + " -> " + modem.Device(),
                                  "  can open: yes",
                                  "  open in: " + Holder(),
                                  "COM2: " + missing,
                                  "  can open: no (" + kMissingAdvice + ")",
                                  "COM3: " + plain_file,
                                  "  can open: no (not a serial device; map the port to a serial "
                                  "device)",
                                  "COM4: no device mapped",
                              }));
    // Nothing was sent, and the listing opened nothing: the modem saw only
    // our own open.
    // The modem logs the opens in the order they happened, so once an open
    // of ours is there, any earlier one would be too.
    EXPECT_TRUE(modem.WaitForEvents("line_opened", 1, 10s));
    close(held);
    EXPECT_EQ(modem.Events("line_opened").size(), 1u);
    EXPECT_EQ(modem.Commands(), std::vector<std::string>{});
    EXPECT_TRUE(Untouched(runtime_));
}

// Every run says on stderr why a port was not used, beside its row, and who
// else has a modem's device open; the event log keeps its fixed lines (and
// gets the same words as diagnostics with "/ud").
TEST_F(FlasherCli, ReasonsBesideTheRowsOnEveryRun) {
    const auto flashers = Flashers();
    if (flashers.empty() || flashers.front().first != "tollander-flash-console")
        GTEST_SKIP() << "no console flasher built";
    auto& modem = Modem(1);
    const std::string missing = dir_ + "/no-such-tty";
    MapPort(2, missing);
    auto& locked = Modem(3);
    // COM1's device was open before the flasher came (the exclusive open
    // cannot keep it out); COM3's is held and locked by another program.
    const int early = open(modem.Device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const int holder = open(locked.Device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(early, 0);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    const std::vector<std::pair<std::string, std::string>> notes = {
        {"COM1: Tollander modem found.", "COM1 (" + modem.Device() + "): also open in " + Holder() +
                                             ", which may write to the modem during the flash"},
        {"COM2: No modem found.", "COM2 (" + missing + "): " + kMissingAdvice},
        {"COM3: No modem found.", "COM3 (" + locked.Device() +
                                      "): in use by another program; close the program that "
                                      "holds it (open in " +
                                      Holder() + ")"},
        {"COM4: No modem found.",
         "COM4: no device mapped; TOLLANDER_COM1 to TOLLANDER_COM4 choose the devices"},
    };
    for (const bool debug : {false, true}) {
        SCOPED_TRACE(debug ? "/ud" : "plain");
        std::vector<std::string> argv{flashers.front().second};
        if (debug) argv.push_back("/ud");
        const auto run = RunFlasher(argv);

        EXPECT_EQ(run.status, 2) << run.err; // the user left before flashing
        const auto err = Lines(run.err);
        for (const auto& [row, note] : notes) {
            const auto at = std::find(err.begin(), err.end(), note);
            ASSERT_NE(at, err.end()) << note << "\n" << run.err;
            // A reason follows its row; the other holder is found as the
            // port opens, before its row is written.
            if (row != notes.front().first)
                EXPECT_EQ(*(at - 1), row) << run.err;
            else
                EXPECT_TRUE(Contains(err, row)) << run.err;
        }
        const auto out = Lines(run.out);
        if (!debug) {
            EXPECT_EQ(out, ScanOneModemLines());
        } else {
            for (int i = 0; i < 3; ++i)
                EXPECT_TRUE(Contains(out, notes[i].second)) << run.out;
        }
    }
    close(early);
    close(holder);
}

// The run record keeps why each port was not used, for support to read
// later: a port that opens but where nothing answers is told from one that
// cannot be opened, and a run stopped from outside says by what.
TEST_F(FlasherCli, TheRunRecordSaysWhyEachPortWasNotUsed) {
    const std::string flasher = ConsoleFlasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    // A terminal nobody answers on: the test holds its far end.
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    const std::string silent = ttyname(slave);
    close(slave);
    const std::string missing = dir_ + "/no-such-tty";
    auto& locked = Modem(3);
    const int holder = open(locked.Device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const std::string plain_file = dir_ + "/not-a-tty";
    std::ofstream(plain_file) << "x";
    MapPort(1, silent);
    MapPort(2, missing);
    MapPort(4, plain_file);
    const std::string record_path = state_ + "/tollander-flash/runs.log";

    const auto run = RunFlasher({flasher});
    EXPECT_EQ(run.status, 2) << run.err;
    const std::string record = ReadFile(record_path);
    const struct {
        std::string device, reason;
    } ports[] = {
        {silent, "the device opened, but nothing answered AT within 1980 ms"},
        {missing, kMissingAdvice},
        {locked.Device(),
         "in use by another program; close the program that holds it (open in " + Holder() + ")"},
        {plain_file, "not a serial device; map the port to a serial device"},
    };
    for (std::size_t i = 0; i < std::size(ports); ++i) {
        const std::string port = "COM" + std::to_string(i + 1);
        SCOPED_TRACE(port);
        const std::string row = "  " + port + " = " + ports[i].device + "  [ ] No modem found.\n";
        const std::string why = "    " + port + " (" + ports[i].device + "): " + ports[i].reason;
        EXPECT_NE(record.find(row + why + "\n"), std::string::npos) << record;
        // stderr says it beside the row as well.
        EXPECT_TRUE(Contains(Lines(run.err), why.substr(4))) << run.err;
    }
    EXPECT_NE(record.find("Port used    = none\n"), std::string::npos) << record;
    close(holder);

    // A run stopped by SIGINT while the scan waits on the silent port.
    for (const int n : {2, 3, 4})
        MapPort(n, "");
    char drained[256];
    fcntl(master, F_SETFL, O_NONBLOCK);
    while (read(master, drained, sizeof drained) > 0) {
    }
    Child stopped({flasher}, "");
    std::string heard;
    const auto deadline = Clock::now() + 60s;
    while (heard.find("AT\r") == std::string::npos && Clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 1000) == 1) {
            const auto got = read(master, drained, sizeof drained);
            if (got > 0) heard.append(drained, static_cast<std::size_t>(got));
        }
    }
    ASSERT_NE(heard.find("AT\r"), std::string::npos) << stopped.Output();
    stopped.Signal(SIGINT);
    EXPECT_EQ(stopped.Finish(60s), 128 + SIGINT) << stopped.Output();
    const std::string ending = "No upgrade (stopped by SIGINT): the flasher ended before FLASH!; "
                               "nothing was sent to the modem.";
    EXPECT_NE(ReadFile(record_path).find(" " + ending + " Exit status 130.\n"), std::string::npos)
        << ReadFile(record_path);
    close(master);
}

// A program that opens the modem's device between the scan and FLASH! is
// named when the flash opens the port, before anything is sent to flash it.
TEST_F(FlasherCli, AProgramThatOpenedTheModemAfterTheScanIsNamedBeforeTheFlash) {
    auto& modem = Modem(1, {"--gload", "error"});
    StartApp(PackFlasher(), /*debug=*/true);
    Scan();
    EXPECT_EQ(Form().Fields().PortNote[1], "");

    // Another process (a child of ours) opens the device and keeps it.
    int ready[2], stay[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(stay), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        close(stay[1]);
        const int fd = open(modem.Device().c_str(), O_RDWR | O_NOCTTY);
        char c = fd >= 0 ? 1 : 0;
        [[maybe_unused]] auto w = write(ready[1], &c, 1);
        [[maybe_unused]] auto r = read(stay[0], &c, 1);
        _exit(0);
    }
    close(ready[1]);
    close(stay[0]);
    char opened = 0;
    ASSERT_EQ(read(ready[0], &opened, 1), 1);
    ASSERT_EQ(opened, 1);
    Flash();
    close(stay[1]);
    waitpid(child, nullptr, 0);

    const std::string note = "COM1 (" + modem.Device() + "): also open in " + OwnCommandName() +
                             " (PID " + std::to_string(child) +
                             "), which may write to the modem during the flash";
    EXPECT_EQ(Form().Fields().PortNote[1], note);
    EXPECT_TRUE(Contains(Log(), note));
    // The modem refused its boot loader: nothing was sent to flash it.
    EXPECT_EQ(modem.SavedImages(), 0);
}

// The advice on a refused device follows its owner, group and mode and the
// user's groups: join the group, log in again, or ask the administrator.
TEST_F(FlasherCli, AnOrdinaryUserIsToldWhatWillLetThemOpenThePort) {
    if (geteuid() != 0) GTEST_SKIP() << "switching to an ordinary user needs root";
    const auto flashers = Flashers();
    if (flashers.empty() || flashers.front().first != "tollander-flash-console")
        GTEST_SKIP() << "no console flasher built";
    // Each look-up's answer is copied before the next one overwrites it.
    const group* found = getgrnam("dialout");
    const gid_t dialout_gid = found ? found->gr_gid : 0;
    found = getgrnam("tty");
    const gid_t tty_gid = found ? found->gr_gid : 0;
    found = getgrgid(kNobody);
    const std::string own_group = found ? found->gr_name : "";
    const passwd* nobody = getpwuid(kNobody);
    if (dialout_gid == 0 || tty_gid == 0 || own_group.empty() || !nobody ||
        nobody->pw_gid != kNobody)
        GTEST_SKIP() << "needs the dialout and tty groups, and nobody in group " << kNobody;
    auto& modem = Modem(1);
    const OrdinaryHome place(flashers.front().second);
    const std::string& home = place.home;
    const std::string& flasher = place.flasher;

    struct Case {
        const char* what;
        gid_t device_group;
        mode_t mode;
        gid_t session_group; // nobody's only group in the run
        std::string advice;
    };
    const std::vector<Case> cases = {
        {"a group the user is not in", dialout_gid, 0660, kNobody,
         "add yourself to the dialout group: sudo usermod -aG dialout \"$USER\", then log out "
         "and in again"},
        // nobody's own group by the user database, left out of this session.
        {"a group the session does not have", kNobody, 0660, dialout_gid,
         "you are in the " + own_group +
             " group, but this session began before you joined it; log out and in again"},
        {"root's alone", 0, 0600, kNobody,
         "only the administrator can let you open it (root:root 0600); ask for it to be given "
         "to the dialout group, for instance by a udev rule"},
        // A pseudo-terminal as it is made: its group may only write.
        {"a group that may only write", tty_gid, 0620, kNobody,
         "only the administrator can let you open it (root:tty 0620); ask for it to be given to "
         "the dialout group, for instance by a udev rule"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(chown(modem.Device().c_str(), 0, c.device_group), 0);
        ASSERT_EQ(chmod(modem.Device().c_str(), c.mode), 0);
        const auto list = RunFlasher({flasher, "--list-ports"}, true, home, c.session_group);
        EXPECT_EQ(list.status, 0) << list.err;
        EXPECT_EQ(Lines(list.out), (std::vector<std::string>{
                                       "COM1: " + modem.Device(),
                                       "  can open: no (permission denied; " + c.advice + ")",
                                       "COM2: no device mapped",
                                       "COM3: no device mapped",
                                       "COM4: no device mapped",
                                   }));
    }

    // A run says it beside the row.
    const auto run = RunFlasher({flasher}, true, home);
    EXPECT_EQ(run.status, 2) << run.err;
    const auto err = Lines(run.err);
    const auto at = std::find(err.begin(), err.end(),
                              "COM1 (" + modem.Device() + "): permission denied; " +
                                  cases.back().advice);
    ASSERT_NE(at, err.end()) << run.err;
    EXPECT_EQ(*(at - 1), "COM1: No modem found.");
    EXPECT_EQ(Lines(run.out), ConsoleNoModemLines());
    // The run record keeps the reason beside the port's row.
    const std::string record = ReadFile(home + "/state/tollander-flash/runs.log");
    EXPECT_NE(record.find("  COM1 = " + modem.Device() + "  [ ] No modem found.\n    " + *at + "\n"),
              std::string::npos)
        << record;
}

// A terminal held open by another program (a terminal server's, a logger's),
// the modem behind it: what the flasher leaves on it stays for the next
// program, unlike on the virtual modem's own terminal, whose modem clears
// the exclusive mode when the line closes. Bytes pass both ways unchanged.
class HeldTerminal {
public:
    explicit HeldTerminal(const std::string& modem_device) {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        for (const int fd : {master_, slave_})
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        termios raw{};
        tcgetattr(slave_, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
        path_ = ttyname(slave_);
        modem_ = open(modem_device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (modem_ < 0 || pipe2(stop_, O_CLOEXEC) != 0)
            throw std::runtime_error("cannot reach the modem");
        relay_ = std::thread([this] { Relay(); });
    }
    ~HeldTerminal() {
        [[maybe_unused]] const auto w = write(stop_[1], "x", 1);
        relay_.join();
        for (const int fd : {master_, slave_, modem_, stop_[0], stop_[1]})
            close(fd);
    }
    HeldTerminal(const HeldTerminal&) = delete;
    HeldTerminal& operator=(const HeldTerminal&) = delete;

    const std::string& Path() const { return path_; }

private:
    void Relay() {
        char buffer[4096];
        for (;;) {
            pollfd p[3] = {{master_, POLLIN, 0}, {modem_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 3, -1) < 0 && errno != EINTR) return;
            if (p[2].revents) return;
            for (const auto& [from, to] : {std::pair{0, modem_}, std::pair{1, master_}}) {
                if (!(p[from].revents & POLLIN)) continue;
                const ssize_t n = read(p[from].fd, buffer, sizeof buffer);
                for (ssize_t done = 0; n > 0 && done < n;) {
                    const ssize_t put =
                        write(to, buffer + done, static_cast<std::size_t>(n - done));
                    if (put <= 0) return;
                    done += put;
                }
            }
        }
    }

    int master_ = -1;
    int slave_ = -1;
    int modem_ = -1;
    int stop_[2] = {-1, -1};
    std::string path_;
    std::thread relay_;
};

// The settings of a terminal, seen through an open of its own.
auto SettingsOf(const std::string& device) {
    termios tio{};
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_EQ(tcgetattr(fd, &tio), 0) << device;
    if (fd >= 0) close(fd);
    return test::TerminalSettings(tio);
}

// An ordinary user's scan and FLASH! on a device that outlives each close:
// the scan's open leaves nothing exclusive behind for the flash's open to
// meet, and the flash's close leaves the device as it was found, for the
// next program to open.
TEST_F(FlasherCli, AnOrdinaryUsersFlashLeavesAHeldDeviceAsItFoundIt) {
    if (geteuid() != 0) GTEST_SKIP() << "switching to an ordinary user needs root";
    const std::string flasher = ConsoleFlasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    auto& modem = Modem(1);
    const HeldTerminal held(modem.Device());
    MapPort(1, held.Path());
    ASSERT_EQ(chown(held.Path().c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(OpenAsOrdinaryUser(held.Path()), 0);
    const auto found = SettingsOf(held.Path());
    const OrdinaryHome place(flasher);

    Launch launch = FlasherLaunch({place.flasher}, true, place.home);
    launch.input = "f\n";
    const auto run = RunLaunch(launch, dir_);

    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(modem.SavedImages(), 2) << run.err;
    EXPECT_TRUE(modem.SavedImage(2) == ReadFile(FirmwareDir() + "/F2ZE0529.HEX"));
    EXPECT_EQ(OpenAsOrdinaryUser(held.Path()), 0) << "the device was left exclusive";
    EXPECT_EQ(SettingsOf(held.Path()), found);
}

// The terminal the flasher runs in is no modem's port: "/dev/tty", its
// controlling terminal by name and the terminal on its standard input are
// refused for one reason, in a run and in the listing, before anything is
// sent or set.
TEST_F(FlasherCli, ItsOwnTerminalIsRefusedAndLeftUntouched) {
    const std::string flasher = ConsoleFlasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    struct Terminal {
        int master = -1;
        int slave = -1;
        std::string path;
    };
    Terminal controlling, input;
    for (Terminal* t : {&controlling, &input}) {
        ASSERT_EQ(openpty(&t->master, &t->slave, nullptr, nullptr, nullptr), 0);
        fcntl(t->master, F_SETFD, FD_CLOEXEC);
        fcntl(t->slave, F_SETFD, FD_CLOEXEC);
        t->path = ttyname(t->slave);
    }
    // The user's typing is not echoed: whatever comes out, the flasher wrote.
    termios quiet{};
    ASSERT_EQ(tcgetattr(input.slave, &quiet), 0);
    quiet.c_lflag &= ~ECHO;
    ASSERT_EQ(tcsetattr(input.slave, TCSANOW, &quiet), 0);
    const auto controlling_found = SettingsOf(controlling.path);
    const auto input_found = SettingsOf(input.path);
    MapPort(1, "/dev/tty");
    MapPort(2, controlling.path);
    MapPort(3, input.path);
    const std::string reason =
        "the terminal this program runs in; map the port to the modem's serial device";

    for (const bool listing : {false, true}) {
        SCOPED_TRACE(listing ? "--list-ports" : "run");
        std::vector<std::string> argv{flasher};
        if (listing) argv.push_back("--list-ports");
        Launch launch = FlasherLaunch(argv);
        // A session of its own, one terminal its controlling terminal, the
        // other its standard input (where the user quits).
        launch.in_child = [&] {
            if (setsid() < 0 || ioctl(controlling.slave, TIOCSCTTY, 0) != 0) _exit(125);
            dup2(input.slave, STDIN_FILENO);
        };
        if (!listing) {
            ASSERT_EQ(write(input.master, "q\n", 2), 2);
        }
        const auto run = RunLaunch(launch, dir_);

        if (listing) {
            EXPECT_EQ(run.status, 0) << run.err;
            const auto lines = Lines(run.out);
            EXPECT_EQ(std::count(lines.begin(), lines.end(), "  can open: no (" + reason + ")"), 3)
                << run.out;
        } else {
            EXPECT_EQ(run.status, 2) << run.err;
            const auto err = Lines(run.err);
            for (const std::string& device :
                 {std::string("/dev/tty"), controlling.path, input.path})
                EXPECT_EQ(std::count_if(err.begin(), err.end(),
                                        [&](const std::string& line) {
                                            return line.ends_with(" (" + device + "): " + reason);
                                        }),
                          1)
                    << device << "\n"
                    << run.err;
        }
        for (Terminal* t : {&controlling, &input}) {
            pollfd p{t->master, POLLIN, 0};
            EXPECT_EQ(poll(&p, 1, 0), 0) << t->path << " was written to";
        }
        EXPECT_EQ(SettingsOf(controlling.path), controlling_found);
        EXPECT_EQ(SettingsOf(input.path), input_found);
    }
    for (Terminal* t : {&controlling, &input}) {
        close(t->master);
        close(t->slave);
    }
}

// A path that leads nowhere, or to something that is no device, has one
// reason beside its row in a run and in the listing: the fault's own words,
// never an error number.
TEST_F(FlasherCli, APathThatIsNoDeviceHasOneReasonInARunAndInTheListing) {
    const std::string flasher = ConsoleFlasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    const std::string directory = dir_ + "/a-directory";
    fs::create_directory(directory);
    const std::string loop = dir_ + "/loop-a";
    fs::create_symlink(dir_ + "/loop-b", loop);
    fs::create_symlink(loop, dir_ + "/loop-b");
    const std::string socket_path = dir_ + "/a-socket";
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    socket_path.copy(address.sun_path, socket_path.size());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string not_serial = "not a serial device; map the port to a serial device";
    const std::vector<std::pair<std::string, std::string>> ports = {
        {directory, not_serial},
        {loop, kMissingAdvice},
        {dir_ + "/" + std::string(300, 'n'), kMissingAdvice}, // longer than a name may be
        {socket_path, not_serial},
    };
    for (std::size_t i = 0; i < ports.size(); ++i)
        MapPort(static_cast<int>(i) + 1, ports[i].first);

    const auto run = RunFlasher({flasher});
    const auto list = RunFlasher({flasher, "--list-ports"});

    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(list.status, 0) << list.err;
    const auto err = Lines(run.err);
    const auto listed = Lines(list.out);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const auto& [path, reason] = ports[i];
        const std::string port = "COM" + std::to_string(i + 1);
        SCOPED_TRACE(path);
        EXPECT_TRUE(Contains(err, port + " (" + path + "): " + reason)) << run.err;
        const auto row = std::find_if(listed.begin(), listed.end(), [&](const std::string& l) {
            return l.starts_with(port + ": ");
        });
        ASSERT_NE(row, listed.end()) << list.out;
        ASSERT_NE(row + 1, listed.end()) << list.out;
        EXPECT_EQ(*(row + 1), "  can open: no (" + reason + ")") << list.out;
    }
    EXPECT_EQ(run.err.find("I/O error"), std::string::npos) << run.err;
    close(listener);
}

} // namespace
} // namespace tollander::e2e
