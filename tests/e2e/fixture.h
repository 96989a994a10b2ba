// End-to-end fixture: virtual modems on pseudo-terminals mapped to COM1..COM4,
// flashers packed from the sample firmware, and the app core driven on a
// headless window thread (or the console front end as a child process).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/front_end.h"
#include "app/main_form.h"
#include "payload/vendor_keys.h"
#include "platform/thread/headless_window_thread.h"

namespace tollander::e2e {

using namespace std::chrono_literals;

std::string BinDir();
std::string FirmwareDir();
std::string ReadFile(const std::string& path);
// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string& text);

// One tollander-vmodem process. Every image it receives is kept (--save) and
// its exchanges are written to a transcript (--log).
class VModem {
public:
    VModem(const std::string& work_dir, int number, std::vector<std::string> args);
    ~VModem();
    VModem(const VModem&) = delete;
    VModem& operator=(const VModem&) = delete;

    const std::string& Device() const { return device_; }
    // The transcript (--log): one JSON event a line.
    const std::string& LogPath() const { return log_path_; }
    // Contents of the n-th image received (1-based), "" when none arrived.
    std::string SavedImage(int n) const;
    int SavedImages() const;
    // The commands the modem received, in order (without the carriage return).
    std::vector<std::string> Commands() const;
    // The transcript's lines of one event ("line_opened", "upload_end" ...).
    std::vector<std::string> Events(const std::string& event) const;
    // Waits until the transcript holds `count` of the event; false when
    // `limit` passed first.
    bool WaitForEvents(const std::string& event, std::size_t count,
                       std::chrono::milliseconds limit) const;
    // Expects that no program opened the line before now and nothing was
    // sent: opens the line itself and waits for that open in the transcript,
    // after the ones before it.
    void ExpectNeverOpened() const;
    // Ends the process (SIGTERM unless it already exited); its exit status.
    int Stop();
    // Waits for the process to exit by itself; its exit status, or -1.
    int WaitExit(std::chrono::milliseconds limit);

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string device_;
    std::string save_dir_;
    std::string log_path_;
};

// Pack options that differ from the shipped sample flasher.
struct PackConfig {
    bool boot = true;
    std::string boot_model = "xx166301";
    std::string main_model = "xx166301";
    bool ignore_model = false;
    std::string family = "Tollander";
    std::string countries = "4,7,12";
    std::string language = "en";
    // Intel HEX files to pack instead of the sample firmware.
    std::string boot_hex;
    std::string main_hex;
    // The private key to sign with: by default the sample vendor's, which
    // the programs of this build carry; empty: unsigned.
    std::string sign_key = TOLLANDER_DEFAULT_SIGN_KEY;
};

// The front end of a test: keeps what the window would show.
class RecordingFrontEnd final : public app::FrontEnd {
public:
    explicit RecordingFrontEnd(platform::WindowThread& window) : window_(window) {}
    void ModelChanged() override {}
    void LineLogged(const std::string&) override {}
    void LogCleared() override {}
    void ShowMessage(const std::string& text, app::MessageKind kind) override {
        messages.emplace_back(text, kind);
    }
    void ShowAbout() override {}
    void CloseMainWindow() override {
        closed = true;
        window_.terminate();
    }

    std::vector<std::pair<std::string, app::MessageKind>> messages;
    bool closed = false;

private:
    platform::WindowThread& window_;
};

// Per test: a scratch directory that is the current directory and the
// private temporary directory, so that parallel tests never share files.
class E2eTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts a virtual modem and maps it to COM`port`.
    VModem& Modem(int port, std::vector<std::string> args = {});
    // Starts a virtual modem that no port leads to (a serial server stands
    // in front of it).
    VModem& ServedModem(std::vector<std::string> args = {});
    // Maps COM`port` to a path (a device that may not exist).
    void MapPort(int port, const std::string& path);
    // A flasher: the sample configuration with the given changes. `program`
    // is the binary at the front (a placeholder for the in-process core).
    std::string PackFlasher(const PackConfig& config = {}, const std::string& program = "");

    // The app core: constructs the form for `flasher` and shows it, as a
    // program built with `keys` (by default those of this build's programs).
    void StartApp(const std::string& flasher, bool debug = false);
    void UseVendorKeys(payload::VendorKeys keys) { keys_.assign(keys.begin(), keys.end()); }
    // Runs the window loop until the sequencer waits for the user, the window
    // closed or a step halted. False when `limit` passed first.
    bool RunUntilIdle(std::chrono::milliseconds limit = 60s);
    // Runs the window loop until `done` holds between two of its tasks (no
    // step is running then). False when `limit` passed first.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
    void Scan() { ASSERT_TRUE(RunUntilIdle()) << "scan did not finish"; }
    void Flash(std::chrono::milliseconds limit = 120s) {
        form_->Button2Click();
        ASSERT_TRUE(RunUntilIdle(limit)) << "flash did not finish";
    }
    app::MainForm& Form() { return *form_; }
    std::uint16_t Step() const { return form_->TheSequencer().StepNumber; }
    const std::vector<std::string>& Log() const { return form_->Memo1(); }
    // The log lines from number `from` on.
    std::vector<std::string> LogFrom(std::size_t from) const;
    RecordingFrontEnd& FrontEnd() { return *front_end_; }
    // Files left in the private temporary directory.
    std::vector<std::string> TempFiles() const;

    std::string dir_;

private:
    std::string old_cwd_;
    std::vector<std::unique_ptr<VModem>> modems_;
    int packs_ = 0;
    std::vector<platform::EcPublicKey> keys_{payload::BuiltInVendorKeys().begin(),
                                             payload::BuiltInVendorKeys().end()};
    std::unique_ptr<platform::HeadlessWindowThread> window_;
    std::unique_ptr<RecordingFrontEnd> front_end_;
    std::unique_ptr<app::MainForm> form_;
};

// Result of running a program to its end.
struct ChildResult {
    int status = -1; // exit status, or -1 when it was killed at the deadline
    std::string out;
};

ChildResult RunProgram(const std::vector<std::string>& argv, const std::string& input,
                       std::chrono::milliseconds limit);

// A program running beside the test, given its input at the start; its
// stdout and stderr are read together (or, with `stdout_fd`, its stdout goes
// there and only its stderr is read). Killed when it goes.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::string& input, int stdout_fd = -1);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads until the output matches; false at its end or at the deadline.
    bool WaitFor(const std::regex& pattern, std::chrono::milliseconds limit);
    // Reads to the end and waits for the exit: the exit status (128 + the
    // signal when killed), or -1 when the deadline came first (it is killed).
    int Finish(std::chrono::milliseconds limit);
    // SIGKILL, as a crash or a pulled plug would end it.
    void Kill();
    // Sends a signal (SIGSTOP and SIGCONT, as a suspended program meets them).
    void Signal(int signal);
    const std::string& Output() const { return out_; }

private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::string out_;
};

// The event-log lines of a scan that found the sample family modem on COM1
// alone (the other ports unmapped).
std::vector<std::string> ScanOneModemLines();

// The console's event log (its stdout) of the sample flasher, shared by the
// Linux and the Windows console tests: a whole upgrade on COM1, a scan that
// finds no modem, a modem of a country the flasher is not for, and a modem
// that hangs up in the middle of the main image.
std::vector<std::string> ConsoleWholeUpgradeLines();
std::vector<std::string> ConsoleNoModemLines();
std::vector<std::string> ConsoleWrongCountryLines();
std::vector<std::string> ConsoleHangUpInMainImageLines();

} // namespace tollander::e2e
