// The flashers as a user meets them on the command line: the options they
// answer before touching any port or temporary file, the port listing, and
// the reason beside each row that could not be used (stderr, every run).
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/e2e/fixture.h"

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
    std::string cwd;                        // "" keeps ours
};

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Runs a program to its end: stdin empty, stdout and stderr kept apart.
Outcome RunLaunch(const Launch& launch, const std::string& scratch) {
    std::vector<std::string> argv;
    if (launch.as_nobody)
        argv = {"setpriv", "--reuid=" + std::to_string(kNobody),
                "--regid=" + std::to_string(kNobody), "--clear-groups", "--"};
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

    const std::string out_path = scratch + "/run.out";
    const std::string err_path = scratch + "/run.err";
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
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
const std::string kPermissionAdvice = "permission denied; add yourself to the dialout group: sudo "
                                      "usermod -aG dialout \"$USER\", then log out and in again";

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

    Outcome RunFlasher(std::vector<std::string> argv, bool as_nobody = false,
                       const std::string& home = "") {
        const std::string place = home.empty() ? dir_ : home;
        Launch launch;
        launch.argv = std::move(argv);
        launch.env = {{"XDG_RUNTIME_DIR", place + "/runtime"},
                      {"XDG_STATE_HOME", place + "/state"},
                      {"HOME", place}};
        // The window flasher answers its options without a display too.
        launch.unset = {"DISPLAY", "WAYLAND_DISPLAY"};
        launch.as_nobody = as_nobody;
        launch.cwd = place;
        return RunLaunch(launch, dir_);
    }

    bool Untouched(const std::string& dir) const { return fs::is_empty(dir); }

    std::string runtime_;
    std::string state_;
};

TEST_F(FlasherCli, OptionsAreAnsweredBeforeAnyPortOrFileIsTouched) {
    const auto flashers = Flashers();
    if (flashers.empty()) GTEST_SKIP() << "no flasher built";
    auto& modem = Modem(1);
    struct Case {
        std::vector<std::string> args;
        int status;
        bool usage_out;   // the usage on stdout
        bool version_out; // "PROGRAM VERSION" alone on stdout
        std::string err;  // stderr begins with this ("" : stderr empty)
    };
    const std::vector<Case> cases = {
        {{"--help"}, 0, true, false, ""},
        {{"/ud", "--help"}, 0, true, false, ""},
        {{"--version"}, 0, false, true, ""},
        {{"--frobnicate"}, 2, false, false, ": unknown option '--frobnicate'\nUsage: "},
        {{"/ud", "--list-ports=x"}, 2, false, false, ": option --list-ports takes no value\n"},
    };
    for (const auto& [program, path] : flashers) {
        for (const auto& c : cases) {
            std::vector<std::string> argv{path};
            argv.insert(argv.end(), c.args.begin(), c.args.end());
            SCOPED_TRACE(program + " " + c.args.back());
            const auto run = RunFlasher(argv);
            EXPECT_EQ(run.status, c.status) << run.err;
            const std::string usage = "Usage: " + program + " [/ud] [OPTION]\n";
            if (c.usage_out) {
                EXPECT_EQ(run.out.rfind(usage, 0), 0u) << run.out;
            }
            if (c.version_out) {
                EXPECT_EQ(run.out.rfind(program + " ", 0), 0u) << run.out;
                EXPECT_EQ(Lines(run.out).size(), 1u) << run.out;
            }
            if (!c.usage_out && !c.version_out) {
                EXPECT_EQ(run.out, "");
            }
            if (c.err.empty()) {
                EXPECT_EQ(run.err, "");
            } else {
                EXPECT_EQ(run.err.rfind(program + c.err, 0), 0u) << run.err;
                // A usage error shows the whole usage, on stderr.
                if (c.status == 2) {
                    EXPECT_NE(run.err.find(usage), std::string::npos);
                }
            }
            EXPECT_TRUE(Untouched(runtime_));
            EXPECT_TRUE(Untouched(state_));
        }
    }
    // Our own open is the only one the modem saw.
    const int fd = open(modem.Device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // The modem logs the opens in the order they happened, so once an open
    // of ours is there, any earlier one would be too.
    EXPECT_TRUE(modem.WaitForEvents("line_opened", 1, 10s));
    close(fd);
    EXPECT_EQ(modem.Events("line_opened").size(), 1u);
    EXPECT_EQ(modem.Commands(), std::vector<std::string>{});
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

// A program that opens the modem's device between the scan and FLASH! is
// named when the flash opens the port, before anything is sent to flash it.
TEST_F(FlasherCli, AProgramThatOpenedTheModemAfterTheScanIsNamedBeforeTheFlash) {
    auto& modem = Modem(1, {"--gload", "error"});
    StartApp(PackFlasher(), /*debug=*/true);
    Scan();
    EXPECT_EQ(Form().PortNote[1], "");

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
    EXPECT_EQ(Form().PortNote[1], note);
    EXPECT_TRUE(Contains(Log(), note));
    // The modem refused its boot loader: nothing was sent to flash it.
    EXPECT_EQ(modem.SavedImages(), 0);
}

TEST_F(FlasherCli, AnOrdinaryUserIsToldToJoinTheGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "switching to an ordinary user needs root";
    const auto flashers = Flashers();
    if (flashers.empty() || flashers.front().first != "tollander-flash-console")
        GTEST_SKIP() << "no console flasher built";
    // A pseudo-terminal is its owner's alone (root's here, group tty may only
    // write), as a serial device is to a user outside its group.
    auto& modem = Modem(1);
    // A home the ordinary user may use, with a copy of the flasher (the
    // scratch directory and the build may be root's alone).
    std::string home = (fs::temp_directory_path() / "tollander-nobody-XXXXXX").string();
    ASSERT_NE(mkdtemp(home.data()), nullptr);
    const std::unique_ptr<std::string, void (*)(std::string*)> remove_home(&home, [](auto* h) {
        std::error_code ignored;
        fs::remove_all(*h, ignored);
    });
    chmod(home.c_str(), 0755);
    const std::string flasher = home + "/flasher";
    fs::copy_file(flashers.front().second, flasher);
    chmod(flasher.c_str(), 0755);
    for (const char* sub : {"runtime", "state"}) {
        const std::string d = home + "/" + sub;
        mkdir(d.c_str(), 0700);
        ASSERT_EQ(chown(d.c_str(), kNobody, kNobody), 0);
    }
    ASSERT_EQ(chown(home.c_str(), kNobody, kNobody), 0);

    const auto list = RunFlasher({flasher, "--list-ports"}, true, home);
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(Lines(list.out), (std::vector<std::string>{
                                   "COM1: " + modem.Device(),
                                   "  can open: no (" + kPermissionAdvice + ")",
                                   "COM2: no device mapped",
                                   "COM3: no device mapped",
                                   "COM4: no device mapped",
                               }));

    const auto run = RunFlasher({flasher}, true, home);
    EXPECT_EQ(run.status, 2) << run.err;
    const auto err = Lines(run.err);
    const auto at =
        std::find(err.begin(), err.end(), "COM1 (" + modem.Device() + "): " + kPermissionAdvice);
    ASSERT_NE(at, err.end()) << run.err;
    EXPECT_EQ(*(at - 1), "COM1: No modem found.");
    EXPECT_EQ(Lines(run.out), ConsoleNoModemLines());
}

} // namespace
} // namespace tollander::e2e
