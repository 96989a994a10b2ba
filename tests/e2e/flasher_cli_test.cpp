// The flashers as a user meets them on the command line: the options they
// answer before touching any port or temporary file, the port listing, and
// the reason beside each row that could not be used (stderr, every run).
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <map>
#include <memory>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "payload/sha256.h"
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
    gid_t gid = kNobody;                    // ... in this group alone
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

int CountEvents(const VModem& modem, const std::string& event) {
    const auto lines = Lines(ReadFile(modem.LogPath()));
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find("\"event\":\"" + event + "\"") != std::string::npos;
    }));
}

// Waits until the modem's transcript holds `count` opens of its line. The
// modem logs the opens in the order they happened, so once an open of ours
// is there, any earlier one would be too.
bool WaitForOpens(const VModem& modem, int count) {
    const int watch = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watch, modem.LogPath().c_str(), IN_MODIFY);
    const auto deadline = Clock::now() + 10s;
    bool seen = CountEvents(modem, "line_opened") >= count;
    while (!seen && Clock::now() < deadline) {
        pollfd p{watch, POLLIN, 0};
        if (poll(&p, 1, 1000) == 1) {
            char buffer[4096];
            [[maybe_unused]] const auto n = read(watch, buffer, sizeof buffer);
        }
        seen = CountEvents(modem, "line_opened") >= count;
    }
    close(watch);
    return seen;
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
    payload::Sha256 sha;
    sha.Update(text.data(), text.size());
    return sha.FinishHex().substr(0, 12);
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
                       const std::string& home = "", gid_t gid = kNobody) {
        const std::string place = home.empty() ? dir_ : home;
        Launch launch;
        launch.argv = std::move(argv);
        launch.env = {{"XDG_RUNTIME_DIR", place + "/runtime"},
                      {"XDG_STATE_HOME", place + "/state"},
                      {"HOME", place}};
        // The window flasher answers its options without a display too.
        launch.unset = {"DISPLAY", "WAYLAND_DISPLAY"};
        launch.as_nobody = as_nobody;
        launch.gid = gid;
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
    enum class Out { usage, version, ports, none };
    struct Case {
        std::vector<std::string> args;
        int status;
        Out out;
        std::string err; // stderr begins with this ("" : stderr empty)
    };
    const std::vector<Case> cases = {
        {{"--help"}, 0, Out::usage, ""},
        {{"-h"}, 0, Out::usage, ""},
        {{"/ud", "-h"}, 0, Out::usage, ""},
        {{"--version"}, 0, Out::version, ""},
        {{"-V"}, 0, Out::version, ""},
        {{"/UD", "-V", "ignored"}, 0, Out::version, ""},
        {{"--list-ports"}, 0, Out::ports, ""},
        {{"/ud", "--list-ports"}, 0, Out::ports, ""},
        {{"--frobnicate"}, 2, Out::none, ": unknown option '--frobnicate'\nUsage: "},
        {{"/ud", "-v"}, 2, Out::none, ": unknown option '-v'\nUsage: "},
        {{"/ud", "--list-ports=x"}, 2, Out::none, ": option --list-ports takes no value\n"},
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
            case Out::usage:
                EXPECT_EQ(run.out.rfind(usage, 0), 0u) << run.out;
                break;
            case Out::version:
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
            case Out::ports:
                EXPECT_EQ(out.front(), "COM1: " + modem.Device()) << run.out;
                EXPECT_EQ(out.back(), "COM4: no device mapped") << run.out;
                break;
            case Out::none:
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
    // Our own open is the only one the modem saw.
    const int fd = open(modem.Device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(WaitForOpens(modem, 1));
    close(fd);
    EXPECT_EQ(CountEvents(modem, "line_opened"), 1);
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
    EXPECT_TRUE(WaitForOpens(modem, 1));
    close(held);
    EXPECT_EQ(CountEvents(modem, "line_opened"), 1);
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
}

} // namespace
} // namespace tollander::e2e
