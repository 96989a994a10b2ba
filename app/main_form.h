// The main window as a model: the state of every control, the window's
// fields, and every handler. A front end renders it and forwards the user's
// actions to the handlers; all of it runs on the window thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/catalogue.h"
#include "app/devices.h"
#include "app/front_end.h"
#include "app/line_trace.h"
#include "app/modem_dialogue.h"
#include "app/sequencer.h"
#include "app/upload_estimate.h"
#include "app/window_fields.h"
#include "platform/thread/window_thread.h"

namespace tollander::app {

// The progress gauge: Progress is held between 0 and MaxValue.
class Gauge {
public:
    std::int32_t MaxValue() const { return max_; }
    std::int32_t Progress() const { return progress_; }
    bool Visible() const { return visible_; }

    void SetMaxValue(std::int32_t value);
    void SetProgress(std::int32_t value);
    void AddProgress(std::int32_t delta);
    void SetVisible(bool visible) { visible_ = visible; }

private:
    std::int32_t max_ = 100;
    std::int32_t progress_ = 0;
    bool visible_ = false;
};

enum class ButtonId { Button1, Button2, Button4 }; // "&Quit", "&FLASH!", "&Start Over"

// How the last run ended, for front ends that report it (the console's exit
// status).
struct RunOutcome {
    bool flash_requested = false; // step 21 was entered
    bool nvram_rewritten = false; // step 90 ran to its end
    bool failure_logged = false;  // a line reporting a failure was written
    bool wrong_utility = false;   // the wrong-utility exit was taken
    // With a country mismatch: the country the modem gave and the ones the
    // flasher accepts, in words.
    std::string wrong_country;
    bool damaged_flasher = false; // start-up found the flasher's end damaged
    bool halted = false;          // an exception ended a step: the sequencer stopped
    bool handler_error = false;   // an exception ended one of the window's handlers
    std::string upload_failure;   // what ended the last failed upload, in words
    bool no_modem = false;        // the scan found no modem to flash
    bool main_not_needed = false; // the modem did not need the main code
    // The modem was last left at its boot prompt (it answered "Boot>", or the
    // scan found it there), not told to start its code again since.
    bool at_boot_prompt = false;
    // What ended the program: a signal ("SIGINT"), or the window's "Quit"
    // or "Exit" while a step or the scan was under way; "" when nothing did.
    std::string stopped_by;
};

class MainForm {
public:
    static constexpr int kPorts = WindowFields::kPorts;
    static constexpr std::chrono::milliseconds kTimerInterval{200};

    // `command_line`: the executable's path, then the arguments. Timer1 runs
    // from here on; call FormShow() when the window is shown.
    MainForm(platform::WindowThread& window, FrontEnd& front_end,
             std::vector<std::string> command_line, Devices devices);
    ~MainForm();
    MainForm(const MainForm&) = delete;
    MainForm& operator=(const MainForm&) = delete;

    // ---- Controls (ports are numbered 1..4) -------------------------------
    const std::string& EditText(int port) const { return edit_.at(port); }
    bool Checked(int port) const { return check_.at(port).checked; }
    bool CheckBoxEnabled(int port) const { return check_.at(port).enabled; }
    bool Enabled(ButtonId button) const;
    bool Label9Visible() const { return label9_visible_; }
    const Gauge& Gauge1() const { return gauge_; }
    // The upload under way (or the last one): bytes on the line, rate, time
    // left, read at each block.
    const UploadEstimate& Upload() const { return upload_; }
    // While an upload shows on the gauge, where it stands (ProgressText:
    // the image, the bytes sent, the time left); empty otherwise.
    std::string UploadProgressText() const;
    // An upload is about to start: its blocks are counted from here.
    void BeginUploadWatch();
    const std::vector<std::string>& Memo1() const { return memo_; }

    void SetEditText(int port, std::string text);
    // A change by the user or by the program: runs the box's click handler
    // when the state actually changes.
    void SetChecked(int port, bool checked);
    void SetCheckBoxEnabled(int port, bool enabled);
    void SetEnabled(ButtonId button, bool enabled);
    void SetProgressVisible(bool visible); // Label9 and Gauge1 together
    void SetGaugeMaxValue(std::int32_t value);
    void SetGaugeProgress(std::int32_t value);

    // ---- Window fields ----------------------------------------------------
    // What the sequencer, the probe and the flash dialogue share, each field
    // with its writers and readers named (window_fields.h).
    WindowFields& Fields() { return fields_; }
    const WindowFields& Fields() const { return fields_; }

    // ---- Handlers ---------------------------------------------------------
    void FormShow();
    void Button1Click(); // "&Quit"
    void Button2Click(); // "&FLASH!"
    void Button4Click(); // "&Start Over"
    void File1Click();   // menu "E&xit"
    void About1Click();  // menu "&About"
    void CheckBox1Click() { CheckBoxClick(1); }
    void CheckBox2Click() { CheckBoxClick(2); }
    void CheckBox3Click() { CheckBoxClick(3); }
    void CheckBox4Click() { CheckBoxClick(4); }
    void CheckBoxClick(int port);
    void Protocol1ProtocolStatus(std::uint16_t options);
    void Protocol1ProtocolFinish(int error_code);
    void Protocol1ProtocolError(int error_code);
    void ComPort1TriggerAvail(std::uint16_t count);
    void ComPort1TriggerData(std::uint16_t handle);
    void UpdateFlashButton();

    // ---- Event log --------------------------------------------------------
    std::string MessageText(MsgId id) const;
    void LogLine(const std::string& text);
    void LogMessage(MsgId id);                     // plain
    void LogNumbered(MsgId id, int port);          // numbered with the port
    void LogSuffixed(MsgId id, Image image);       // ".  (1)" / ".  (2)"
    void LogWithCode(MsgId id, std::int64_t code); // text, " ", code
    void LogAfterFamily(const std::string& family, MsgId id);

    // ---- Components -------------------------------------------------------
    Sequencer& TheSequencer() { return sequencer_; }
    const Sequencer& TheSequencer() const { return sequencer_; }
    ModemPort& ComPort1() { return *port_; }
    Uploader& Protocol1() { return *protocol_; }
    PayloadOps& Payload() { return *payload_; }
    ModemDialogue& Dialogue() { return *dialogue_; }
    platform::WindowThread& Window() { return window_; }
    FrontEnd& TheFrontEnd() { return front_end_; }
    const std::vector<std::string>& CommandLine() const { return command_line_; }

    void StartTimer1();
    void StopTimer1();
    bool Timer1Enabled() const;
    void Pause(std::uint16_t ms) { sequencer_.Pause(ms); }

    // The wrong-utility exit's sound.
    std::unique_ptr<AlertPlayer> MakePlayer();

    // The sequencer is idle waiting for the user: at step 20 or 99 with the
    // timer stopped and no step running.
    bool WaitingForUser() const;

    const RunOutcome& Outcome() const { return outcome_; }
    RunOutcome& MutableOutcome() { return outcome_; }

    // Tell the front end to re-render.
    void Changed();

    // Runs `fn` as a handler of the window (`step`: a sequencer step): an
    // exception it raises is shown in a message box; a step's exception halts
    // the sequencer, since every step stops Timer1 before it works.
    template <typename Fn> void Guarded(Fn&& fn, bool step = false);

private:
    struct CheckBox {
        bool checked = false;
        bool enabled = false;
    };
    void NoteMessage(MsgId id);
    void NoteStop(const char* by);
    void NoteUploadProgress();
    void ResetScanState();
    void ReportException(const std::string& what, bool step, const std::exception* error = nullptr);

    platform::WindowThread& window_;
    FrontEnd& front_end_;
    std::vector<std::string> command_line_;

    std::array<std::string, kPorts + 1> edit_{};
    std::array<CheckBox, kPorts + 1> check_{};
    bool button1_ = true;
    bool button2_ = false;
    bool button4_ = false;
    bool label9_visible_ = false;
    Gauge gauge_;
    UploadEstimate upload_;
    std::int64_t handed_ = 0; // bytes of the upload handed over, as last seen
    std::vector<std::string> memo_;

    WindowFields fields_;
    RunOutcome outcome_;
    Sequencer sequencer_;

    LineTrace trace_; // before the port, which tells it every exchange
    std::unique_ptr<ModemPort> port_;
    std::unique_ptr<Uploader> protocol_;
    std::unique_ptr<PayloadOps> payload_;
    std::function<std::unique_ptr<AlertPlayer>()> make_player_;
    std::unique_ptr<ModemDialogue> dialogue_;
    platform::WindowThread::TimerId timer1_ = 0;
};

template <typename Fn> void MainForm::Guarded(Fn&& fn, bool step) {
    try {
        fn();
    } catch (const StepAborted&) {
        // The window is closing; the step has unwound.
    } catch (const std::exception& e) {
        ReportException(e.what(), step, &e);
    } catch (...) {
        ReportException("Unknown error", step);
    }
}

} // namespace tollander::app
