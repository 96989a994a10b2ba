// Stand-ins for the form's outside parts, so tests drive every step and
// handler without a modem, a payload file or a display.
#pragma once

#include "app/main_form.h"
#include "platform/thread/headless_window_thread.h"

#include <deque>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tollander::app::testing {

struct FakeFrontEnd : FrontEnd {
    explicit FakeFrontEnd(platform::WindowThread& w) : window(w) {}
    void ModelChanged() override { ++changes; }
    void LineLogged(const std::string& line) override { logged.push_back(line); }
    void LogCleared() override { ++cleared; }
    void ShowMessage(const std::string& text, MessageKind kind) override {
        messages.push_back({text, kind});
        if (on_message) on_message();
    }
    void ShowAbout() override { ++abouts; }
    void CloseMainWindow() override {
        ++closes;
        window.terminate();
    }

    platform::WindowThread& window;
    int changes = 0;
    int cleared = 0;
    int abouts = 0;
    int closes = 0;
    std::vector<std::string> logged;
    std::vector<std::pair<std::string, MessageKind>> messages;
    std::function<void()> on_message;
};

struct FakePort : ModemPort {
    void SetComNumber(std::uint16_t n) override { com = n; }
    std::uint16_t ComNumber() const override { return com; }
    void SetBaud(std::int32_t b) override { baud = b; }
    void SetOpen(bool o) override {
        open = o;
        calls.push_back(o ? "open" : "close");
    }
    bool Open() const override { return open; }
    void SendText(const std::string& text) override { sent.push_back(text); }
    int AwaitAnyText(const std::string&, std::int32_t, bool, bool, char) override { return 0; }
    std::string LastAnswer() const override { return {}; }
    std::uint16_t NewDataTrigger(const std::string& text, bool ignore_case) override {
        calls.push_back("NewDataTrigger(" + text + "," + (ignore_case ? "1" : "0") + ")");
        return next_trigger;
    }
    void DeleteTrigger(std::uint16_t h) override {
        calls.push_back("DeleteTrigger(" + std::to_string(h) + ")");
    }
    char ReadChar() override {
        if (input.empty()) throw std::runtime_error("Buffer is empty");
        const char c = input.front();
        input.pop_front();
        return c;
    }
    std::string DeviceName(std::uint16_t) const override { return device; }
    std::string LastWriteFailure() const override { return write_failure; }
    std::string LineClosure() const override { return line_closure; }
    std::int64_t OutputQueued() const override { return queued; }

    std::string device; // every port's
    std::string write_failure;
    std::string line_closure;
    std::int64_t queued = 0; // bytes waiting in the driver's output queue
    std::uint16_t com = 1;
    std::int32_t baud = 0;
    bool open = false;
    std::uint16_t next_trigger = 7;
    std::deque<char> input;
    std::vector<std::string> sent;
    std::vector<std::string> calls;
};

struct FakeUploader : Uploader {
    void StartAsciiSend(const std::string& file, const BlockCheck& check) override {
        started.push_back(file);
        checked.push_back(static_cast<bool>(check));
        if (on_start) on_start();
    }
    void WatchSender() override { ++watched; }
    std::uint16_t BlockSize() const override { return 8191; }
    std::int64_t BytesHanded() const override { return handed; }

    std::int64_t handed = -1; // -1: the protocol does not count them
    int watched = 0;
    std::vector<std::string> started;
    std::vector<bool> checked; // whether each start came with a block check
    std::function<void()> on_start;
};

struct FakePayload : PayloadOps {
    void SetExePath(const std::string& p) override { exe = p; }
    void DeleteTempFiles() override { calls.push_back("DeleteTempFiles"); }
    bool ReadConfigRecord(const IntegrityFn& damaged) override {
        calls.push_back("Read");
        if (record_fault != 0) damaged(false, record_fault);
        return record_fault == 0;
    }
    void ParseConfigRecord() override { calls.push_back("Parse"); }
    void ApplyConfigRecord() override { calls.push_back("Apply"); }
    void DumpConfigRecord(const LogFn& log) override { log("Boot Length  = 9357"); }
    void ExtractAlertSound(bool debug, const LogFn& log) override {
        if (debug) log("Extracting WAV file.");
        calls.push_back("ExtractAlertSound");
    }
    bool ExtractImage(Image image, const IntegrityFn& integrity) override {
        current_hex = image == Image::Boot ? "c:\\~1~Z~6~X.$$$" : "c:\\~1~Z~6~2.$$$";
        calls.push_back("ExtractImage(" + std::to_string(static_cast<int>(image)) + ")");
        integrity(opens, opens ? 0 : -1);
        return opens;
    }
    bool ExpandImage(Image image, const IntegrityFn& integrity) override {
        if (expand_error) throw std::runtime_error(expand_error);
        calls.push_back("ExpandImage(" + std::to_string(static_cast<int>(image)) + ")");
        if (expand_refused) integrity(false, -7);
        return !expand_refused;
    }
    BlockCheck UploadCheck() const override {
        return [](std::uint32_t, const std::uint8_t*, std::size_t, bool) { return true; };
    }
    void DeleteTempFile(const std::string& name) override {
        calls.push_back("DeleteTempFile(" + name + ")");
    }
    std::string TempFilePath(const std::string& name) const override { return "/tmp/t/" + name; }

    int LanguageIndex() const override { return language_index; }
    std::string ModelFamily() const override { return family; }
    std::string ModelCode1() const override { return boot_model; }
    std::string ModelCode2() const override { return "xx166301"; }
    std::int32_t BootLength() const override { return boot_length; }
    std::string BootModel() const override { return boot_model; }
    bool IgnoreModel() const override { return ignore_model; }
    bool CountryFlag(int code) const override { return code == 4 || code == 7 || code == 12; }
    std::int32_t UploadSize() const override { return upload_size; }
    std::string CurrentHexFile() const override { return current_hex; }
    std::string SoundFile() const override { return "~W~T~F~9.WAV"; }

    std::string exe;
    int language_index = 1;
    std::string family = "Tollander";
    std::int32_t boot_length = 9357;
    std::string boot_model = "xx166301";
    bool ignore_model = false;
    std::int32_t upload_size = 21417;
    std::string current_hex;
    bool opens = true;
    const char* expand_error = nullptr;
    std::int64_t record_fault = 0; // reported by ReadConfigRecord
    bool expand_refused = false; // the packed file changed since it was checked
    std::vector<std::string> calls;
};

struct FakePlayer : AlertPlayer {
    explicit FakePlayer(bool device, std::vector<std::string>& log) : device_(device), log_(log) {}
    ~FakePlayer() override { log_.push_back("player destroyed"); }
    bool Open(const std::string& path) override {
        log_.push_back("open " + path);
        return true;
    }
    bool Play() override {
        log_.push_back(device_ ? "playing" : "no device");
        return device_;
    }
    std::string LastError() const override { return device_ ? "" : "no audio device"; }

private:
    bool device_;
    std::vector<std::string>& log_;
};

// What each scripted modem conversation answers.
struct FakeDialogue : ModemDialogue {
    enum class Found { Nothing, Family, NotFamily };

    explicit FakeDialogue(MainForm& f) : form(f) {}

    void ProbePort(std::uint8_t n) override {
        calls.push_back("ProbePort(" + std::to_string(n) + ")");
        if (on_probe) on_probe(n);
        switch (ports[n]) {
        case Found::Nothing:
            form.SetEditText(n, "No modem found.");
            break;
        case Found::NotFamily:
            form.SetEditText(n, "Not a Tollander modem");
            break;
        case Found::Family:
            form.Fields().ModemFound[n] = true;
            form.SetEditText(n, "Tollander modem found.");
            ++form.Fields().ModemCount;
            form.SetChecked(n, true);
            form.Fields().PortFlashable[n] = true;
            break;
        }
        form.TheSequencer().StepNumber = StepAfterScanOf(n);
        form.StartTimer1();
        form.ComPort1().SetOpen(false);
    }
    void CheckCountry() override {
        calls.push_back("CheckCountry");
        form.Fields().CountryMismatch = country_mismatch;
    }
    bool EnterFlashMode() override {
        calls.push_back("EnterFlashMode");
        return enter_flash_mode;
    }
    bool CheckBootUpdateNeeded() override {
        calls.push_back("CheckBootUpdateNeeded");
        return boot_needed;
    }
    bool CheckMainUpdateNeeded() override {
        calls.push_back("CheckMainUpdateNeeded");
        return main_needed;
    }
    void SkipBootUpdate() override { calls.push_back("SkipBootUpdate"); }
    bool StartHexProgramming() override {
        calls.push_back("StartHexProgramming");
        return hex_ready;
    }
    void AwaitProgramResult(std::uint16_t d) override {
        calls.push_back("AwaitProgramResult(" + std::to_string(d) + ")");
        form.Fields().ModemAlive = alive_after_upload;
    }
    void CheckModemAfterUpload() override { calls.push_back("CheckModemAfterUpload"); }
    void RewriteNvram() override { calls.push_back("RewriteNvram"); }

    MainForm& form;
    std::map<int, Found> ports;
    bool country_mismatch = false;
    bool enter_flash_mode = true;
    bool boot_needed = true;
    bool main_needed = true;
    bool hex_ready = true;
    bool alive_after_upload = true;
    std::function<void(int)> on_probe;
    std::vector<std::string> calls;
};

// The fake parts of one form, and the pointers a test keeps to them.
struct FakeParts {
    FakePort* port = nullptr;
    FakeUploader* uploader = nullptr;
    FakePayload* payload = nullptr;
    FakeDialogue* dialogue = nullptr;
    std::vector<std::string> player_log;

    Devices Make(bool audio_device = true) {
        auto p = std::make_unique<FakePort>();
        auto u = std::make_unique<FakeUploader>();
        auto l = std::make_unique<FakePayload>();
        port = p.get();
        uploader = u.get();
        payload = l.get();
        Devices devices;
        devices.port = std::move(p);
        devices.protocol = std::move(u);
        devices.payload = std::move(l);
        devices.make_player = [this, audio_device] {
            return std::make_unique<FakePlayer>(audio_device, player_log);
        };
        devices.make_dialogue = [this](MainForm& f) {
            auto d = std::make_unique<FakeDialogue>(f);
            dialogue = d.get();
            return d;
        };
        return devices;
    }
};

// A form wired to fakes, on a headless window thread owned by the test.
struct FormRig {
    explicit FormRig(std::vector<std::string> command_line = {"/opt/flash/tollander-flash"},
                     bool audio_device = true)
        : front(window) {
        Devices devices = parts.Make(audio_device);
        port = parts.port;
        uploader = parts.uploader;
        payload = parts.payload;
        form =
            std::make_unique<MainForm>(window, front, std::move(command_line), std::move(devices));
        dialogue = parts.dialogue;
    }

    Sequencer& TheSequencer() { return form->TheSequencer(); }
    // Runs the step at `step` once, as a tick would.
    void RunStep(std::uint16_t step) {
        TheSequencer().StepNumber = step;
        Tick();
    }
    void Tick() {
        form->Guarded([&] { TheSequencer().Timer1Timer(); }, true);
    }
    // Runs the window loop until `done` holds (a generous guard against hangs).
    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds guard = std::chrono::seconds(30)) {
        const auto end = std::chrono::steady_clock::now() + guard;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end || window.terminating()) return done();
            window.wait(std::chrono::milliseconds(1000));
        }
        return true;
    }

    platform::HeadlessWindowThread window;
    FakeFrontEnd front;
    FakePort* port = nullptr;
    FakeUploader* uploader = nullptr;
    FakePayload* payload = nullptr;
    FakeDialogue* dialogue = nullptr;
    FakeParts parts;
    std::vector<std::string>& player_log = parts.player_log;
    std::unique_ptr<MainForm> form;
};

} // namespace tollander::app::testing
