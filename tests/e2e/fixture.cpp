#include "tests/e2e/fixture.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/devices.h"

namespace tollander::e2e {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

int ExitStatus(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

// Starts argv with stdin and stdout on pipes; the child gets our stderr, or
// sends it to the stdout pipe as well. With `stdout_fd`, the child's stdout
// goes there and its stderr to the pipe.
pid_t Spawn(const std::vector<std::string>& argv, int& in_fd, int& out_fd,
            bool merge_stderr = false, int stdout_fd = -1) {
    int in_pipe[2];
    int out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) return -1;
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], stdout_fd >= 0 ? 2 : 1);
        if (stdout_fd >= 0) dup2(stdout_fd, 1);
        if (merge_stderr && stdout_fd < 0) dup2(out_pipe[1], 2);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    in_fd = in_pipe[1];
    out_fd = out_pipe[0];
    return pid;
}

// Reads from fd until `stop` says so, EOF or the deadline.
template <typename Stop>
bool ReadUntil(int fd, std::string& into, Clock::time_point deadline, Stop stop) {
    char buffer[4096];
    while (!stop(into)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true; // EOF
        into.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

int WaitPid(pid_t pid, Clock::time_point deadline) {
    // A pidfd becomes readable when the child ends: no polling loop.
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd, POLLIN, 0};
            const int ready = poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0)));
            if (ready < 0 && errno == EINTR) continue;
            close(fd);
            if (ready <= 0) return -2;
            break;
        }
    }
    int raw = 0;
    if (waitpid(pid, &raw, 0) != pid) return -1;
    return ExitStatus(raw);
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        switch (c) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'u':
            if (i + 4 < text.size()) {
                out += static_cast<char>(std::stoi(text.substr(i + 1, 4), nullptr, 16));
                i += 4;
            }
            break;
        default:
            out += c;
            break;
        }
    }
    return out;
}

} // namespace

std::string BinDir() {
    if (const char* bin = std::getenv("TOLLANDER_BIN")) return bin;
    return TOLLANDER_DEFAULT_BIN;
}

std::string FirmwareDir() {
    return BinDir() + "/../firmware";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// ---- VModem -------------------------------------------------------------------

VModem::VModem(const std::string& work_dir, int number, std::vector<std::string> args) {
    save_dir_ = work_dir + "/modem" + std::to_string(number);
    log_path_ = save_dir_ + ".log";
    fs::create_directories(save_dir_);
    std::vector<std::string> argv{BinDir() + "/tollander-vmodem", "--save", save_dir_, "--log",
                                  log_path_};
    argv.insert(argv.end(), args.begin(), args.end());
    int in_fd = -1;
    int out_fd = -1;
    pid_ = Spawn(argv, in_fd, out_fd);
    if (pid_ < 0) throw std::runtime_error("cannot start tollander-vmodem");
    close(in_fd);
    std::string out;
    ReadUntil(out_fd, out, Clock::now() + 10s,
              [](const std::string& s) { return s.find('\n') != std::string::npos; });
    close(out_fd);
    const auto eol = out.find('\n');
    if (eol == std::string::npos) {
        Stop();
        throw std::runtime_error("tollander-vmodem printed no device path");
    }
    device_ = out.substr(0, eol);
}

VModem::~VModem() {
    Stop();
}

int VModem::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        status_ = WaitPid(pid_, Clock::now() + 10s);
        if (status_ == -2) {
            kill(pid_, SIGKILL);
            status_ = WaitPid(pid_, Clock::now() + 10s);
        }
        pid_ = -1;
    }
    return status_;
}

void VModem::ExpectNeverOpened() const {
    const int fd = open(device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << device_;
    // The modem logs the opens in the order they happened, so once this one
    // is there, any earlier one would be too.
    EXPECT_TRUE(WaitForEvents("line_opened", 1, 10s));
    close(fd);
    EXPECT_EQ(Events("line_opened").size(), 1u);
    EXPECT_EQ(Commands(), std::vector<std::string>{});
}

int VModem::WaitExit(std::chrono::milliseconds limit) {
    if (pid_ > 0) {
        const int status = WaitPid(pid_, Clock::now() + limit);
        if (status == -2) return -1;
        status_ = status;
        pid_ = -1;
    }
    return status_;
}

std::string VModem::SavedImage(int n) const {
    const std::string path = save_dir_ + "/image-" + std::to_string(n) + ".hex";
    return fs::exists(path) ? ReadFile(path) : std::string();
}

int VModem::SavedImages() const {
    int n = 0;
    while (fs::exists(save_dir_ + "/image-" + std::to_string(n + 1) + ".hex"))
        ++n;
    return n;
}

std::vector<std::string> VModem::Events(const std::string& event) const {
    std::vector<std::string> found;
    for (const std::string& line : Lines(ReadFile(log_path_)))
        if (line.find("\"event\":\"" + event + "\"") != std::string::npos) found.push_back(line);
    return found;
}

bool VModem::WaitForEvents(const std::string& event, std::size_t count,
                           std::chrono::milliseconds limit) const {
    const int watch = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watch, log_path_.c_str(), IN_MODIFY);
    const auto deadline = Clock::now() + limit;
    bool seen = Events(event).size() >= count;
    while (!seen && Clock::now() < deadline) {
        pollfd p{watch, POLLIN, 0};
        if (poll(&p, 1, 1000) == 1) {
            char buffer[4096];
            [[maybe_unused]] const auto n = read(watch, buffer, sizeof buffer);
        }
        seen = Events(event).size() >= count;
    }
    close(watch);
    return seen;
}

std::vector<std::string> VModem::Commands() const {
    std::vector<std::string> commands;
    std::istringstream log(ReadFile(log_path_));
    const std::string key = "\"text\":\"";
    for (std::string line; std::getline(log, line);) {
        if (line.find("\"event\":\"command\"") == std::string::npos) continue;
        const auto at = line.find(key);
        if (at == std::string::npos) continue;
        std::size_t end = at + key.size();
        while (end < line.size() && line[end] != '"')
            end += line[end] == '\\' ? 2 : 1;
        std::string command = Unescape(line.substr(at + key.size(), end - at - key.size()));
        while (!command.empty() && (command.back() == '\r' || command.back() == '\n'))
            command.pop_back();
        commands.push_back(command);
    }
    return commands;
}

// ---- E2eTest ------------------------------------------------------------------

void E2eTest::SetUp() {
    std::string pattern = (fs::temp_directory_path() / "tollander-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    old_cwd_ = fs::current_path().string();
    fs::current_path(dir_);
    // Private temporary files and the current directory's files stay ours.
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    // So is the run record of every flasher the test starts.
    setenv("XDG_STATE_HOME", (dir_ + "/state").c_str(), 1);
    // An explicit map: ports not given a modem have no device.
    for (int port = 1; port <= 4; ++port)
        MapPort(port, "");
}

void E2eTest::TearDown() {
    form_.reset();
    front_end_.reset();
    window_.reset();
    modems_.clear();
    fs::current_path(old_cwd_);
    if (HasFailure()) {
        std::cerr << "scratch directory kept: " << dir_ << "\n";
    } else {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
}

void E2eTest::MapPort(int port, const std::string& path) {
    const std::string name = "TOLLANDER_COM" + std::to_string(port);
    setenv(name.c_str(), path.c_str(), 1);
}

VModem& E2eTest::Modem(int port, std::vector<std::string> args) {
    modems_.push_back(
        std::make_unique<VModem>(dir_, static_cast<int>(modems_.size()) + 1, std::move(args)));
    MapPort(port, modems_.back()->Device());
    return *modems_.back();
}

VModem& E2eTest::ServedModem(std::vector<std::string> args) {
    auto& modem = Modem(1, std::move(args));
    MapPort(1, "");
    return modem;
}

std::string E2eTest::PackFlasher(const PackConfig& c, const std::string& program) {
    std::string base = program;
    if (base.empty()) {
        base = dir_ + "/placeholder";
        std::ofstream(base) << "a program stands here\n";
    }
    const std::string out = dir_ + "/flasher" + std::to_string(++packs_);
    const std::string fw = FirmwareDir();
    std::vector<std::string> argv{BinDir() + "/tollander-pack",
                                  "-o",
                                  out,
                                  "--program",
                                  base,
                                  "--main",
                                  c.main_hex.empty() ? fw + "/F2ZE0529.HEX" : c.main_hex,
                                  "--sound",
                                  fw + "/ALERT.WAV",
                                  "--boot-model",
                                  c.boot_model,
                                  "--main-model",
                                  c.main_model,
                                  "--built-for",
                                  "International",
                                  "--family",
                                  c.family,
                                  "--language",
                                  c.language,
                                  "--countries",
                                  c.countries};
    if (c.boot) {
        argv.push_back("--boot");
        argv.push_back(c.boot_hex.empty() ? fw + "/FLS0228.HEX" : c.boot_hex);
    }
    if (c.ignore_model) argv.push_back("--ignore-model");
    if (!c.sign_key.empty()) {
        argv.push_back("--sign");
        argv.push_back(c.sign_key);
    }
    const auto result = RunProgram(argv, "", 60s);
    if (result.status != 0) throw std::runtime_error("tollander-pack failed: " + result.out);
    return out;
}

void E2eTest::StartApp(const std::string& flasher, bool debug) {
    form_.reset();
    front_end_.reset();
    window_.reset();
    window_ = std::make_unique<platform::HeadlessWindowThread>();
    front_end_ = std::make_unique<RecordingFrontEnd>(*window_);
    std::vector<std::string> command_line{flasher};
    if (debug) command_line.push_back("/ud");
    form_ = std::make_unique<app::MainForm>(*window_, *front_end_, command_line,
                                            app::MakeSystemDevices(*window_, {}, keys_));
    form_->FormShow();
}

bool E2eTest::RunUntilIdle(std::chrono::milliseconds limit) {
    return RunUntil(
        [this] {
            return front_end_->closed || form_->Outcome().halted || form_->WaitingForUser();
        },
        limit);
}

bool E2eTest::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (done()) return true;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        window_->wait(std::min<std::chrono::milliseconds>(left, 1s));
    }
}

std::vector<std::string> E2eTest::LogFrom(std::size_t from) const {
    const auto& log = Log();
    if (from >= log.size()) return {};
    return {log.begin() + static_cast<std::ptrdiff_t>(from), log.end()};
}

std::vector<std::string> E2eTest::TempFiles() const {
    std::vector<std::string> names;
    const fs::path dir = fs::path(dir_) / "tollander-flash";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        names.push_back(entry.path().filename().string());
    for (const auto& entry : fs::directory_iterator(dir_, ec)) {
        const auto name = entry.path().filename().string();
        if (!name.empty() && name[0] == '~') names.push_back(name);
    }
    return names;
}

// ---- Programs ---------------------------------------------------------------

Child::Child(const std::vector<std::string>& argv, const std::string& input, int stdout_fd) {
    int in_fd = -1;
    pid_ = Spawn(argv, in_fd, out_fd_, true, stdout_fd);
    if (pid_ < 0) throw std::runtime_error("cannot start " + argv.front());
    // Small inputs only: they fit the pipe.
    [[maybe_unused]] const auto written = write(in_fd, input.data(), input.size());
    close(in_fd);
}

Child::~Child() {
    Kill();
    if (out_fd_ >= 0) close(out_fd_);
}

bool Child::WaitFor(const std::regex& pattern, std::chrono::milliseconds limit) {
    bool seen = false;
    ReadUntil(out_fd_, out_, Clock::now() + limit, [&](const std::string& out) {
        seen = std::regex_search(out, pattern);
        return seen;
    });
    return seen;
}

int Child::Finish(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    if (!ReadUntil(out_fd_, out_, deadline, [](const std::string&) { return false; }) ||
        pid_ < 0) {
        Kill();
        return -1;
    }
    const int status = WaitPid(pid_, deadline);
    if (status == -2) {
        Kill();
        return -1;
    }
    pid_ = -1;
    return status;
}

void Child::Signal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
}

void Child::Kill() {
    if (pid_ < 0) return;
    kill(pid_, SIGKILL);
    WaitPid(pid_, Clock::now() + 10s);
    pid_ = -1;
}

ChildResult RunProgram(const std::vector<std::string>& argv, const std::string& input,
                       std::chrono::milliseconds limit) {
    ChildResult result;
    int in_fd = -1;
    int out_fd = -1;
    const pid_t pid = Spawn(argv, in_fd, out_fd);
    if (pid < 0) return result;
    if (!input.empty()) {
        // Small inputs only: they fit the pipe.
        [[maybe_unused]] const auto written = write(in_fd, input.data(), input.size());
    }
    close(in_fd);
    const auto deadline = Clock::now() + limit;
    const bool ended =
        ReadUntil(out_fd, result.out, deadline, [](const std::string&) { return false; });
    close(out_fd);
    if (!ended) kill(pid, SIGKILL);
    result.status = WaitPid(pid, ended ? Clock::now() + 30s : Clock::now() + 5s);
    if (!ended) result.status = -1;
    return result;
}

std::vector<std::string> ScanOneModemLines() {
    return {"Tollander flash utility initialized...", "Device present on COM1.",
            "Press the FLASH! button to begin flashing the currently selected modem."};
}

std::vector<std::string> ConsoleWholeUpgradeLines() {
    return {"Tollander flash utility initialized...", "Device present on COM1.",
            "Press the FLASH! button to begin flashing the currently selected modem.",
            "Flash data integrity check passed..  (1)", "Entering FLASH mode on COM1.",
            "Modem needs flash update #1..  (1)", "Programming FLASHROM on COM1.",
            "Flash file upload sent successfully.", "Checking modem integrity...",
            "Modem responded correctly -- starting modem code.",
            "Flash data integrity check passed..  (2)", "Entering FLASH mode on COM1.",
            "Modem needs flash update #1..  (2)", "Programming FLASHROM on COM1.",
            "Flash file upload sent successfully.", "Checking modem integrity...",
            "Modem responded correctly -- starting modem code.", "Resetting modem...",
            "Complete."};
}

std::vector<std::string> ConsoleNoModemLines() {
    return {"Tollander flash utility initialized...", "No modems found to FLASH.",
            "Ensure that you have your modem installed and press the \"Start Over\" button.",
            "Complete."};
}

std::vector<std::string> ConsoleWrongCountryLines() {
    return ScanOneModemLines();
}

std::vector<std::string> ConsoleHangUpInMainImageLines() {
    auto lines = ConsoleWholeUpgradeLines();
    // The boot image goes through; the main image's upload breaks off.
    lines.resize(13);
    lines.insert(lines.end(), {"Programming FLASHROM on COM1.",
                               "Flash file upload did not complete successfully.",
                               "Checking modem integrity..."});
    return lines;
}

} // namespace tollander::e2e
