// tollander-vmodem driven over its pseudo-terminal as a flasher drives it.
#include "tools/mkfirmware/sample_firmware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kGuard = 20s; // only a guard: every wait ends on its event

std::string Bin() {
    const char* bin = std::getenv("TOLLANDER_BIN");
    return bin ? bin : "bin";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int MillisLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "vmodem-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Reads a descriptor until `done` holds or the deadline passes.
template <typename Done>
bool ReadUntil(int fd, std::string& into, Clock::time_point deadline, Done done) {
    char buffer[4096];
    while (!done(into)) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, MillisLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return done(into);
        into.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

struct Exit {
    int status = -1; // exit status, or -1 when it did not end
    std::string err; // what it wrote on stderr
};

class VirtualModem {
public:
    explicit VirtualModem(const std::vector<std::string>& args, bool open_line = true) {
        Start(args);
        std::string out;
        ReadUntil(out_, out, Clock::now() + kGuard,
                  [](const std::string& s) { return s.find('\n') != std::string::npos; });
        if (out.find('\n') == std::string::npos) {
            refused = Stop();
            return;
        }
        device = out.substr(0, out.find('\n'));
        if (open_line) Open();
    }
    ~VirtualModem() { Stop(); }

    void Open() {
        fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("cannot open " + device);
    }
    void Close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        pending_.clear();
    }

    void Send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ASSERT_GT(n, 0) << std::strerror(errno);
            done += static_cast<std::size_t>(n);
        }
    }

    // What arrives up to and including `text` (letter case ignored); the
    // rest stays for the next read. Empty when the guard ran out.
    std::string Until(const std::string& text) {
        const std::string want = Lower(text);
        const bool seen = ReadUntil(fd, pending_, Clock::now() + kGuard, [&](const std::string& s) {
            return Lower(s).find(want) != std::string::npos;
        });
        if (!seen) {
            ADD_FAILURE() << "no '" << text << "' from the modem; got '" << pending_ << "'";
            return {};
        }
        const std::size_t end = Lower(pending_).find(want) + want.size();
        std::string head = pending_.substr(0, end);
        pending_.erase(0, end);
        return head;
    }

    std::string Exchange(const std::string& command, const std::string& until) {
        Send(command);
        return Until(until);
    }

    // Everything still on the line until the modem's end goes away.
    std::string UntilHangUp() {
        ReadUntil(fd, pending_, Clock::now() + kGuard, [](const std::string&) { return false; });
        return std::exchange(pending_, {});
    }

    // Stops the modem's process until Resume(), to order events around it.
    void Pause() {
        ::kill(pid_, SIGSTOP);
        int raw = 0;
        ::waitpid(pid_, &raw, WUNTRACED);
    }
    void Resume() { ::kill(pid_, SIGCONT); }

    Exit Stop() {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
        return Wait();
    }

    // Waits for the process to end by itself.
    Exit Wait() {
        Exit e;
        if (pid_ > 0) {
            const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
            pollfd p{pidfd, POLLIN, 0};
            const bool ended = pidfd < 0 || ::poll(&p, 1, MillisLeft(Clock::now() + kGuard)) > 0;
            if (pidfd >= 0) ::close(pidfd);
            if (!ended) {
                ::kill(pid_, SIGKILL);
                ADD_FAILURE() << "tollander-vmodem did not end";
            }
            int raw = 0;
            ::waitpid(pid_, &raw, 0);
            pid_ = -1;
            status_ = ended && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            ReadUntil(err_, err_text_, Clock::now() + kGuard,
                      [](const std::string&) { return false; });
            Close();
            for (int* p2 : {&out_, &err_}) {
                if (*p2 >= 0) ::close(*p2);
                *p2 = -1;
            }
        }
        e.status = status_;
        e.err = err_text_;
        return e;
    }

    std::string device; // empty when it refused to start
    Exit refused;
    int fd = -1;

private:
    void Start(const std::vector<std::string>& args) {
        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<std::string> all{Bin() + "/tollander-vmodem"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (rc != 0) throw std::runtime_error("cannot start " + all[0]);
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int status_ = -1;
    std::string err_text_;
    std::string pending_;
};

// Runs the modem with bad arguments; it must refuse them before it starts.
Exit RunRefused(const std::vector<std::string>& args) {
    VirtualModem modem(args, false);
    EXPECT_EQ(modem.device, "") << "started on a device";
    return modem.device.empty() ? modem.refused : modem.Stop();
}

// Lines of the transcript that hold `needle`.
std::vector<std::string> LogLines(const std::string& path, const std::string& needle) {
    std::vector<std::string> lines;
    std::istringstream log(ReadFile(path));
    for (std::string line; std::getline(log, line);)
        if (line.find(needle) != std::string::npos) lines.push_back(line);
    return lines;
}

double NumberField(const std::string& line, const std::string& key) {
    const std::size_t at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    return std::strtod(line.c_str() + at + key.size() + 3, nullptr);
}

// Waits until the transcript holds `needle`, woken by its growth.
bool WaitForLog(const std::string& path, const std::string& needle) {
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ::inotify_add_watch(watch, path.c_str(), IN_MODIFY);
    const auto deadline = Clock::now() + kGuard;
    bool seen = false;
    while (!(seen = ReadFile(path).find(needle) != std::string::npos)) {
        pollfd p{watch, POLLIN, 0};
        if (::poll(&p, 1, MillisLeft(deadline)) <= 0) break;
        char events[4096];
        [[maybe_unused]] const ssize_t n = ::read(watch, events, sizeof events);
    }
    ::close(watch);
    return seen;
}

const std::string kReset = "AT&F1S0=0&W&F2S0=0&W1YZ\r";

// Small images: data in the main code's region, or in the boot block.
std::string MainImage(std::size_t size = 4000) {
    return tollander::tools::MakeIntelHex(size, 0x1000, 7);
}
std::string BootImage() {
    return tollander::tools::MakeIntelHex(3000, 0xF000, 9);
}

// The flasher's road into the boot loader and on to the upload.
void EnterUpload(VirtualModem& m) {
    m.Exchange("ATGLOAD7\r", "Boot>");
    m.Exchange("AT{A}\r", "Prog HEX\r\n");
}

// ------------------------------------------------------------------ tests

TEST(VirtualModemTest, CommandModeAnswersEchoesAndIgnoresCaseAndNoise) {
    VirtualModem m({});
    struct Case {
        std::string send, answer;
    };
    const Case cases[] = {
        {"AT\r", "AT\r\r\nOK\r\n"},
        {"ati3\r", "ati3\r\r\nTollander Data/Fax Modem\r\n\r\nOK\r\n"},
        {"ATI0\r", "ATI0\r\r\nxx166301\r\n\r\nOK\r\n"},
        {"ATY14\r", "ATY14\r\r\n004\r\n\r\nOK\r\n"},
        {"ATGM\r", "ATGM\r\r\nOK\r\n"},           // the main code runs already
        {"AT{A}\r", "AT{A}\r\r\nERROR\r\n"},      // only the boot loader takes an upload
        {"AT%Q\r", "AT%Q\r\r\nERROR\r\n"},        // unknown
        {"noise\nAT\r", "noise\nAT\r\r\nOK\r\n"}, // bytes before AT are not a command
        {"ATI5\b3\r", "ATI5\b3\r\r\nTollander Data/Fax Modem\r\n\r\nOK\r\n"},
        {"ATE0\r", "ATE0\r\r\nOK\r\n"},
        {"ATI0\r", "\r\nxx166301\r\n\r\nOK\r\n"}, // echo now off
        {"ATE1\r", "\r\nOK\r\n"},
        {"AT\r", "AT\r\r\nOK\r\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(m.Exchange(c.send, c.answer), c.answer) << "after sending '" << c.send << "'";
}

TEST(VirtualModemTest, ConfiguredIdentityWithoutEcho) {
    VirtualModem m({"--no-echo", "--family", "Zed", "--model", "ab12cd34", "--country", "022"});
    EXPECT_EQ(m.Exchange("AT\r", "OK\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(m.Exchange("ATI3\r", "OK\r\n"), "\r\nZed Data/Fax Modem\r\n\r\nOK\r\n");
    EXPECT_EQ(m.Exchange("ATI0\r", "OK\r\n"), "\r\nab12cd34\r\n\r\nOK\r\n");
    EXPECT_EQ(m.Exchange("ATY14\r", "OK\r\n"), "\r\n022\r\n\r\nOK\r\n");
}

// The probe of a modem found at its boot prompt, then the flash dialogue's
// questions it must still answer there.
TEST(VirtualModemTest, BootPromptModemWithEachStateOfItsMainCode) {
    struct Case {
        const char* code;
        const char* atgm;
        const char* ati3;
    };
    for (const Case& c : {Case{"fine", "Starting Modem Code\r\n", "Tollander Data/Fax Modem"},
                          Case{"corrupt", "Modem Code Corrupt\r\n", "Boot>"},
                          Case{"missing", "Modem Code Missing\r\n", "Boot>"}}) {
        SCOPED_TRACE(c.code);
        VirtualModem m({"--boot-prompt", "--main-code", c.code});
        EXPECT_EQ(m.Exchange("AT\r", "Boot>"), "AT\r\r\nBoot>");
        EXPECT_EQ(m.Exchange("ATGM\r", c.atgm), std::string("ATGM\r\r\n") + c.atgm);
        const std::string ati3 = m.Exchange("ATI3\r", c.ati3);
        EXPECT_EQ(ati3.find("ATI3\r"), 0u);
        if (std::string(c.code) != "fine") {
            // Still at the prompt: the country and the model are answered there too.
            EXPECT_EQ(m.Exchange("ATY14\r", "004\r\n"), "ATY14\r\r\n004\r\n");
            EXPECT_EQ(m.Exchange("ATI0\r", "xx166301\r\n"), "ATI0\r\r\nxx166301\r\n");
            EXPECT_EQ(m.Exchange("AT{A}\r", "Prog HEX\r\n"), "AT{A}\r\r\nProg HEX\r\n");
        }
    }
}

// The whole upgrade as the flasher runs it: probe, country, both images,
// restart of the main code, NVRAM rewrite and reset.
TEST(VirtualModemTest, FullUpgradeKeepsBothImagesByteForByte) {
    ScratchDir dir;
    const std::string boot = tollander::tools::MakeBootHex();
    const std::string main_code = tollander::tools::MakeMainHex();
    WriteFile(dir / "boot.hex", boot);
    WriteFile(dir / "main.hex", main_code);
    VirtualModem m({"--once", "--expect", dir / "boot.hex", "--expect", dir / "main.hex", "--save",
                    dir / "saved", "--log", dir / "log.jsonl"});

    m.Exchange("AT\r", "OK");
    m.Exchange("ATI3\r", "Tollander");
    m.Close(); // end of the probe
    m.Open();
    m.Exchange("ATY14\r", "004");
    for (const std::string* image : {&boot, &main_code}) {
        m.Exchange("ATGLOAD7\r", "Boot>");
        m.Exchange("ATI0\r", "xx166301");
        m.Exchange("AT{A}\r", "Prog HEX\r\n");
        EXPECT_EQ(m.Exchange(*image, "successful\r\n"), "\r\nProgram was successful\r\n");
        m.Exchange("ATGM\r", "Starting Modem Code\r\n");
    }
    // However late the flasher reads the answer to the reset, it is still
    // there: the modem leaves only once the port is closed.
    m.Send(kReset);
    ASSERT_TRUE(WaitForLog(dir / "log.jsonl", "\"event\":\"reset\""));
    EXPECT_EQ(m.Until("OK\r\n"), kReset + "\r\nOK\r\n");
    m.Close();

    const Exit e = m.Wait(); // --once: the reset ended the upgrade
    EXPECT_EQ(e.status, 0) << e.err;
    EXPECT_EQ(ReadFile(dir / "saved/image-1.hex"), boot);
    EXPECT_EQ(ReadFile(dir / "saved/image-2.hex"), main_code);
    const auto ends = LogLines(dir / "log.jsonl", "\"event\":\"upload_end\"");
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(NumberField(ends[0], "bytes"), boot.size());
    EXPECT_EQ(NumberField(ends[1], "bytes"), main_code.size());
    for (const std::string& line : ends) {
        EXPECT_NE(line.find("\"expect\":\"match\""), std::string::npos) << line;
        EXPECT_NE(line.find("\"verdict\":\"Program was successful\""), std::string::npos) << line;
    }
    EXPECT_EQ(LogLines(dir / "log.jsonl", "\"text\":\"ATY14\"").size(), 1u);
    const double seconds = NumberField(ends[1], "last_byte") - NumberField(ends[1], "first_byte");
    std::printf("main image, no line rate: %zu bytes in %.3f s\n", main_code.size(), seconds);
}

TEST(VirtualModemTest, ImageUnlikeTheExpectedOneEndsWithStatusOne) {
    ScratchDir dir;
    WriteFile(dir / "other.hex", MainImage(5000));
    VirtualModem m({"--once", "--expect", dir / "other.hex", "--log", dir / "log.jsonl"});
    EnterUpload(m);
    m.Exchange(MainImage(), "Program was successful"); // the modem cannot know better
    m.Exchange(kReset, "OK\r\n");
    m.Close();
    const Exit e = m.Wait();
    EXPECT_EQ(e.status, 1);
    EXPECT_NE(e.err.find("differs"), std::string::npos) << e.err;
    EXPECT_EQ(LogLines(dir / "log.jsonl", "\"expect\":\"mismatch\"").size(), 1u);
}

// A modem whose main code is bad stays at its prompt through the boot code
// image and starts only once the main code has been written.
TEST(VirtualModemTest, BadMainCodeIsMendedByTheMainImageOnly) {
    VirtualModem m({"--boot-prompt", "--main-code", "missing"});
    m.Exchange("AT\r", "Boot>");
    m.Exchange("ATGM\r", "Missing");
    m.Exchange("AT{A}\r", "Prog HEX\r\n");
    m.Exchange(BootImage(), "Program was successful\r\n");
    const std::string missing = "ATGM\r\r\nModem Code Missing\r\n";
    EXPECT_EQ(m.Exchange("ATGM\r", missing), missing);
    m.Exchange("AT{A}\r", "Prog HEX\r\n");
    m.Exchange(MainImage(), "Program was successful\r\n");
    const std::string starting = "ATGM\r\r\nStarting Modem Code\r\n";
    EXPECT_EQ(m.Exchange("ATGM\r", starting), starting);
    EXPECT_EQ(m.Exchange("AT\r", "OK\r\n"), "AT\r\r\nOK\r\n");
}

TEST(VirtualModemTest, BadRecordsAreRefusedAndDamageTheMainCode) {
    const std::string good = MainImage();
    const std::size_t second = good.find(":", 1); // the second record
    auto changed = [&](std::size_t at, const std::string& with) {
        std::string image = good;
        image.replace(at, with.size(), with);
        return image;
    };
    struct Case {
        const char* what;
        std::string image;
    };
    const std::size_t digit = second + 12;
    const Case cases[] = {
        {"checksum", changed(digit, good[digit] == '0' ? "1" : "0")},
        {"bad digit", changed(digit, "G")},
        {"short record", changed(digit, "\r\n")},
        {"stray byte", changed(second, "x")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        VirtualModem m({"--save", dir / "saved", "--log", dir / "log.jsonl"});
        EnterUpload(m);
        EXPECT_EQ(m.Exchange(c.image, "timeout\r\n"), "\r\nNo RX data timeout\r\n");
        EXPECT_EQ(m.Exchange("ATGM\r", "Corrupt\r\n"), "ATGM\r\r\nModem Code Corrupt\r\n");
        EXPECT_EQ(ReadFile(dir / "saved/image-1.hex"), c.image);
        const auto faults = LogLines(dir / "log.jsonl", "\"event\":\"upload_fault\"");
        ASSERT_EQ(faults.size(), 1u);
        EXPECT_NE(faults[0].find("record 2:"), std::string::npos) << faults[0];
    }
}

TEST(VirtualModemTest, StalledUploadTimesOutAndReturnsToThePrompt) {
    const std::string image = MainImage();
    for (const std::string& part : {image.substr(0, image.size() / 2), std::string()}) {
        SCOPED_TRACE(part.size());
        VirtualModem m({"--rx-gap", "300"});
        EnterUpload(m);
        EXPECT_EQ(m.Exchange(part, "timeout\r\n"), "\r\nNo RX data timeout\r\n");
        EXPECT_EQ(m.Exchange("AT\r", "Boot>"), "AT\r\r\nBoot>");
    }
}

// Each fault flag against the exchange it spoils. A silent answer is shown
// by the answer to a later command arriving with nothing before it.
TEST(VirtualModemTest, FaultFlagsSpoilTheirExchange) {
    struct Step {
        std::string send, until;
        std::vector<std::string> absent;
    };
    struct Case {
        std::vector<std::string> args;
        std::vector<Step> steps;
    };
    const std::string image = MainImage();
    std::string bad = image;
    bad[bad.find(":", 1) + 12] ^= 1;
    const Step gload{"ATGLOAD7\r", "Boot>", {}};
    const Step prog{"AT{A}\r", "Prog HEX\r\n", {}};
    const Case cases[] = {
        {{"--not-family"}, {{"ATI3\r", "OK\r\n", {"Tollander", "Boot>"}}}},
        {{"--gload", "error"}, {{"ATGLOAD7\r", "ERROR\r\n", {"Boot>"}}, {"AT\r", "OK", {}}}},
        {{"--gload", "silent"}, {{"ATGLOAD7\rAT\r", "OK\r\n", {"Boot>", "ERROR"}}}},
        {{"--ati0", "error"}, {{"ATI0\r", "ERROR\r\n", {"xx166301"}}}},
        {{"--ati0", "silent"}, {gload, {"ATI0\rAT\r", "Boot>", {"xx166301", "ERROR"}}}},
        {{"--prog", "error"}, {gload, {"AT{A}\r", "ERROR\r\n", {"Prog"}}}},
        {{"--prog", "silent"}, {gload, {"AT{A}\rAT\r", "Boot>", {"Prog", "ERROR"}}}},
        {{"--verdict", "success"}, {gload, prog, {bad, "successful\r\n", {"No RX"}}}},
        {{"--verdict", "timeout"}, {gload, prog, {image, "timeout\r\n", {"successful"}}}},
        {{"--verdict", "none"},
         {gload, prog, {image + "ATGM\r", "Starting Modem Code", {"successful", "No RX"}}}},
        {{"--after-upload", "ok"},
         {gload, prog, {image, "successful", {}}, {"ATGM\r", "OK\r\n", {"Starting", "Corrupt"}}}},
        {{"--after-upload", "corrupt"},
         {gload, prog, {image, "successful", {}}, {"ATGM\r", "Corrupt", {"Starting"}}}},
        {{"--after-upload", "silent"},
         {gload, prog, {image, "successful", {}}, {"ATGM\rAT\r", "Boot>", {"Starting", "OK"}}}},
        // Per upload of an upgrade, the last entry repeating.
        {{"--after-upload", "corrupt,starting"},
         {gload,
          prog,
          {image, "successful", {}},
          {"ATGM\r", "Corrupt", {"Starting"}},
          prog,
          {image, "successful", {}},
          {"ATGM\r", "Starting", {"Corrupt"}}}},
        {{"--random-case", "--seed", "7"},
         {{"ATI3\r", "tollander data/fax modem", {"Tollander Data/Fax Modem"}}}},
        {{"--pieces", "3", "--piece-delay", "5"},
         {{"ATI3\r", "OK\r\n", {}}, {"ATI3\r", "Tollander Data/Fax Modem\r\n\r\nOK", {}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        VirtualModem m(c.args);
        for (const Step& s : c.steps) {
            const std::string got = m.Exchange(s.send, s.until);
            for (const std::string& absent : s.absent)
                EXPECT_EQ(got.find(absent), std::string::npos)
                    << "'" << absent << "' in '" << got.substr(0, 200) << "'";
        }
    }
}

TEST(VirtualModemTest, MuteModemSaysNothingAtAll) {
    ScratchDir dir;
    VirtualModem m({"--mute", "--log", dir / "log.jsonl"});
    m.Send("AT\rATI3\r");
    ASSERT_TRUE(WaitForLog(dir / "log.jsonl", "\"text\":\"ATI3\""));
    const int fd = std::exchange(m.fd, -1); // keep the line to read it after the end
    EXPECT_EQ(m.Stop().status, 0);
    std::string rest;
    ReadUntil(fd, rest, Clock::now() + kGuard, [](const std::string&) { return false; });
    ::close(fd);
    EXPECT_EQ(rest, "");
    EXPECT_TRUE(LogLines(dir / "log.jsonl", "\"event\":\"answer\"").empty());
}

TEST(VirtualModemTest, HangUpInTheMiddleOfAnUpload) {
    ScratchDir dir;
    VirtualModem m({"--hangup-after", "1000", "--log", dir / "log.jsonl"});
    EnterUpload(m);
    // The line may go away in the middle of a write.
    const std::string image = MainImage();
    for (std::size_t done = 0; done < image.size();) {
        const ssize_t n = ::write(m.fd, image.data() + done, image.size() - done);
        if (n <= 0) {
            EXPECT_EQ(errno, EIO);
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(m.UntilHangUp(), ""); // no verdict: the line just goes away
    EXPECT_EQ(m.Wait().status, 0);
    const auto hangups = LogLines(dir / "log.jsonl", "\"event\":\"hangup\"");
    ASSERT_EQ(hangups.size(), 1u);
    EXPECT_EQ(NumberField(hangups[0], "bytes"), 1000);
}

// At a real line's 11520 bytes per second a 100 KiB upload takes 8.9 s.
TEST(VirtualModemTest, DrainsAnUploadAtTheLineRate) {
    ScratchDir dir;
    constexpr double kRate = 11520;
    VirtualModem m({"--rate", "11520", "--log", dir / "log.jsonl"});
    EnterUpload(m);
    const std::string image = tollander::tools::MakeIntelHex(102400, 0x1000, 3);
    const auto start = Clock::now();
    m.Send(image);
    m.Until("Program was successful");
    const double outside = std::chrono::duration<double>(Clock::now() - start).count();

    const auto ends = LogLines(dir / "log.jsonl", "\"event\":\"upload_end\"");
    ASSERT_EQ(ends.size(), 1u);
    const double bytes = NumberField(ends[0], "bytes");
    const double inside = NumberField(ends[0], "last_byte") - NumberField(ends[0], "first_byte");
    EXPECT_EQ(bytes, image.size());
    std::printf("line rate asked 11520 B/s: %.0f B/s by the modem's clock over %.0f bytes "
                "(%.3f s), %.3f s from the first write to the verdict\n",
                bytes / inside, bytes, inside, outside);
    // The modem's own clock: the line rate within 2 %. It never drains faster,
    // and it catches up after a late wake-up, so this holds on a busy machine.
    EXPECT_NEAR(bytes / inside, kRate, kRate * 0.02) << inside << " s";
    // From outside, only the lower bound is robust.
    EXPECT_GE(outside, 0.98 * static_cast<double>(image.size()) / kRate);
}

TEST(VirtualModemTest, WrongOptionsAndUnusablePathsAreRefused) {
    ScratchDir dir;
    WriteFile(dir / "file", "x");
    fs::create_directory(dir / "sub");
    fs::create_directory(dir / "saved");
    WriteFile(dir / "saved/image-1.hex", "y");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--rate"}, "--rate needs a value"},
        {{"--rate", "fast"}, "bad value 'fast' for --rate"},
        {{"--gload=maybe"}, "bad value 'maybe' for --gload"},
        {{"--country", "4"}, "bad value '4' for --country"},
        {{"--after-upload", "ok,later"}, "for --after-upload"},
        {{"--once=yes"}, "--once takes no value"},
        {{"--expect", dir / "missing.hex"}, "cannot read the file"},
        {{"--expect", dir / "fifo"},
         "--expect: cannot read the file '" + dir / "fifo" + "': not a regular file (a FIFO)"},
        // No output over an image it compares with, by whatever name.
        {{"--expect", dir / "file", "--log", dir / "sub/../file"}, "--log: "},
        {{"--expect", dir / "file", "--save", dir / "file"}, "--save: "},
        {{"--save", dir / "sub/../saved", "--expect", dir / "saved/image-1.hex"},
         "--save: '" + dir / "sub/../saved" + "' would write over the --expect file"},
        {{"--save", dir / "file"}, "--save"},
        {{"--log", dir / "no/such/dir/log"}, "--log: cannot write"},
        {{"--link", dir / "file"}, "--link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        const Exit e = RunRefused(c.args);
        EXPECT_EQ(e.status, 2);
        EXPECT_NE(e.err.find(c.message), std::string::npos) << e.err;
    }
    // Nothing was overwritten.
    EXPECT_EQ(ReadFile(dir / "file"), "x");
    EXPECT_EQ(ReadFile(dir / "saved/image-1.hex"), "y");
}

// A port that closes loses what was still on its way, as on a real line:
// the next program to open it does not read the old answer, also when it
// opened the port before the modem saw the close (the modem is stopped
// meanwhile to force that order).
TEST(VirtualModemTest, AnswersToAClosedPortAreLost) {
    for (const bool reopened_unseen : {false, true}) {
        SCOPED_TRACE(reopened_unseen ? "reopened before the modem looked" : "close seen first");
        ScratchDir dir;
        VirtualModem m({"--pieces", "4", "--piece-delay", "300", "--log", dir / "log.jsonl"});
        m.Exchange("ATI3\r", "ATI3\r\r");
        if (reopened_unseen) m.Pause();
        m.Close();
        if (!reopened_unseen) {
            ASSERT_TRUE(WaitForLog(dir / "log.jsonl", "\"event\":\"line_closed\""));
        }
        m.Open();
        if (reopened_unseen) m.Resume();
        EXPECT_EQ(m.Exchange("ATI0\r", "OK\r\n"), "ATI0\r\r\nxx166301\r\n\r\nOK\r\n");
    }
}

// --once also ends when the flasher has gone after the dialogue began;
// the link goes with the modem.
TEST(VirtualModemTest, OnceEndsWhenTheFlasherHasGoneAndTheLinkGoesToo) {
    ScratchDir dir;
    const std::string link = dir / "ttyModem";
    VirtualModem m({"--once", "--link", link}, false);
    ASSERT_EQ(fs::read_symlink(link).string(), m.device);
    m.device = link;
    m.Open();
    m.Exchange("ATGLOAD7\r", "Boot>");
    m.Exchange("ATI0\r", "xx166301");
    m.Close();
    EXPECT_EQ(m.Wait().status, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

} // namespace
