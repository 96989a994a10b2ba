#include "app/main_form.h"
#include "platform/thread/clock.h"

#include "app/probe.h"
#include "serial/comm_errors.h"

#include <algorithm>

namespace tollander::app {

// ---- Gauge ----------------------------------------------------------------

void Gauge::SetMaxValue(std::int32_t value) {
    max_ = std::max<std::int32_t>(value, 0);
    progress_ = std::min(progress_, max_);
}

void Gauge::SetProgress(std::int32_t value) {
    progress_ = std::clamp<std::int32_t>(value, 0, max_);
}

void Gauge::AddProgress(std::int32_t delta) {
    // In 64 bits: many blocks past the end must not wrap around.
    const std::int64_t sum = std::int64_t{progress_} + delta;
    progress_ = static_cast<std::int32_t>(std::clamp<std::int64_t>(sum, 0, max_));
}

// ---- Construction -----------------------------------------------------------

MainForm::MainForm(platform::WindowThread& window, FrontEnd& front_end,
                   std::vector<std::string> command_line, Devices devices)
    : window_(window), front_end_(front_end), command_line_(std::move(command_line)),
      sequencer_(*this),
      trace_([this](const std::string& line) { front_end_.LineTraced(line); }),
      port_(MakeTracingPort(std::move(devices.port), trace_)),
      protocol_(std::move(devices.protocol)),
      payload_(std::move(devices.payload)), make_player_(std::move(devices.make_player)) {
    port_->OnTriggerAvail = [this](std::uint16_t n) { Guarded([&] { ComPort1TriggerAvail(n); }); };
    port_->OnTriggerData = [this](std::uint16_t h) { Guarded([&] { ComPort1TriggerData(h); }); };
    protocol_->OnProtocolStatus = [this](std::uint16_t o) {
        Guarded([&] { Protocol1ProtocolStatus(o); });
    };
    protocol_->OnProtocolFinish = [this](int e) { Guarded([&] { Protocol1ProtocolFinish(e); }); };
    protocol_->OnProtocolError = [this](int e) { Guarded([&] { Protocol1ProtocolError(e); }); };
    dialogue_ = devices.make_dialogue ? devices.make_dialogue(*this) : MakeStandardDialogue(*this);
    timer1_ = window_.add_timer(kTimerInterval,
                                [this] { Guarded([&] { sequencer_.Timer1Timer(); }, true); });
    window_.start_timer(timer1_);
}

MainForm::~MainForm() {
    // Nothing may call back into the form from here on: the timer goes first,
    // then the events, then the protocol (bound to the port), then the port.
    window_.remove_timer(timer1_);
    dialogue_.reset();
    protocol_->OnProtocolStatus = nullptr;
    protocol_->OnProtocolFinish = nullptr;
    protocol_->OnProtocolError = nullptr;
    port_->OnTriggerAvail = nullptr;
    port_->OnTriggerData = nullptr;
    protocol_.reset();
    port_.reset();
}

// ---- Controls ---------------------------------------------------------------

bool MainForm::Enabled(ButtonId button) const {
    switch (button) {
    case ButtonId::Button1:
        return button1_;
    case ButtonId::Button2:
        return button2_;
    case ButtonId::Button4:
        return button4_;
    }
    return false;
}

void MainForm::SetEnabled(ButtonId button, bool enabled) {
    switch (button) {
    case ButtonId::Button1:
        button1_ = enabled;
        break;
    case ButtonId::Button2:
        button2_ = enabled;
        break;
    case ButtonId::Button4:
        button4_ = enabled;
        break;
    }
    Changed();
}

void MainForm::SetEditText(int port, std::string text) {
    edit_.at(port) = std::move(text);
    Changed();
}

void MainForm::SetChecked(int port, bool checked) {
    auto& box = check_.at(port);
    if (port < 1 || box.checked == checked) return;
    box.checked = checked;
    Changed();
    CheckBoxClick(port);
}

void MainForm::SetCheckBoxEnabled(int port, bool enabled) {
    check_.at(port).enabled = enabled;
    Changed();
}

void MainForm::SetProgressVisible(bool visible) {
    label9_visible_ = visible;
    gauge_.SetVisible(visible);
    Changed();
}

void MainForm::SetGaugeMaxValue(std::int32_t value) {
    gauge_.SetMaxValue(value);
    Changed();
}

void MainForm::SetGaugeProgress(std::int32_t value) {
    gauge_.SetProgress(value);
    Changed();
}

void MainForm::Changed() {
    front_end_.ModelChanged();
}

// ---- Timer ------------------------------------------------------------------

void MainForm::StartTimer1() {
    window_.start_timer(timer1_);
}

void MainForm::StopTimer1() {
    window_.stop_timer(timer1_);
}

bool MainForm::Timer1Enabled() const {
    return window_.timer_enabled(timer1_);
}

bool MainForm::WaitingForUser() const {
    const auto step = sequencer_.StepNumber;
    return (step == stepWaitForUser || step == stepStop) && !Timer1Enabled() &&
           !sequencer_.InStep() && !window_.terminating();
}

std::unique_ptr<AlertPlayer> MainForm::MakePlayer() {
    return make_player_ ? make_player_() : nullptr;
}

// ---- Handlers ---------------------------------------------------------------

// What showing the window and "&Start Over" both clear: the last scan.
void MainForm::ResetScanState() {
    sequencer_.StepNumber = stepStartUp;
    fields_.ClearScan();
}

void MainForm::FormShow() {
    ResetScanState();
    Changed();
}

// Leaving while the run is under way (not waiting for the user, not halted
// by an error) stops it: the record says by what.
void MainForm::NoteStop(const char* by) {
    if (outcome_.stopped_by.empty() && !WaitingForUser() && !outcome_.halted)
        outcome_.stopped_by = by;
}

void MainForm::Button1Click() {
    NoteStop("Quit");
    port_->SetOpen(false);
    front_end_.CloseMainWindow();
}

void MainForm::File1Click() {
    NoteStop("Exit");
    front_end_.CloseMainWindow();
}

void MainForm::About1Click() {
    front_end_.ShowAbout();
}

void MainForm::CheckBoxClick(int port) {
    if (Checked(port)) {
        for (int other = 1; other <= kPorts; ++other)
            if (other != port) SetChecked(other, false);
    }
    UpdateFlashButton();
}

void MainForm::UpdateFlashButton() {
    bool any = false;
    for (int port = 1; port <= kPorts; ++port)
        any = any || Checked(port);
    SetEnabled(ButtonId::Button2, any && sequencer_.StepNumber > stepScanCom4);
}

void MainForm::Button2Click() {
    sequencer_.StepNumber = stepFlashRequested;
    StartTimer1();
}

void MainForm::Button4Click() {
    ResetScanState();
    fields_.CountryMismatch = false;
    outcome_ = RunOutcome{};
    StartTimer1();
    for (int port = 1; port <= kPorts; ++port)
        edit_[port].clear();
    memo_.clear();
    front_end_.LogCleared();
    SetEnabled(ButtonId::Button2, false);
    SetEnabled(ButtonId::Button4, false);
    for (int port = 1; port <= kPorts; ++port)
        SetChecked(port, false);
    for (int port = 1; port <= kPorts; ++port)
        check_[port].enabled = false;
    Changed();
}

void MainForm::Protocol1ProtocolStatus(std::uint16_t /*options*/) {
    gauge_.AddProgress(protocol_->BlockSize());
    NoteUploadProgress();
    Changed();
}

std::string MainForm::UploadProgressText() const {
    if (!gauge_.Visible() || upload_.Total() <= 0 || gauge_.Progress() <= 0) return {};
    return ProgressText(sequencer_.FlashStage, upload_.Sent(), upload_.Total(), upload_.Rate());
}

void MainForm::BeginUploadWatch() {
    handed_ = 0;
    upload_.Start(payload_->UploadSize(), platform::MonotonicMilliseconds());
}

// The blocks the protocol has handed to the driver since the last status
// (the status events come between blocks too): one trace line for them. Each
// status is a reading of what the line has sent; the clock starts at the
// first block.
void MainForm::NoteUploadProgress() {
    const std::int64_t handed = protocol_->BytesHanded();
    if (handed <= 0) return;
    const std::int64_t now = platform::MonotonicMilliseconds();
    if (handed > handed_) {
        if (handed_ == 0) upload_.Start(payload_->UploadSize(), now);
        trace_.Block(sequencer_.FlashStage, handed - handed_, handed, upload_.Total());
        handed_ = handed;
    }
    upload_.Update(handed, port_->OutputQueued(), now);
}

void MainForm::Protocol1ProtocolFinish(int error_code) {
    if (sequencer_.DebugMode) port_->DeleteTrigger(sequencer_.EchoTriggerHandle);
    // A run that failed carries its error here too, and its error event has
    // already said so: it was not sent successfully.
    if (error_code == 0) LogMessage(MsgUploadSent);
    sequencer_.StepNumber = sequencer_.ResultStep();
    StartTimer1();
    SetEnabled(ButtonId::Button1, true);
}

void MainForm::Protocol1ProtocolError(int error_code) {
    if (sequencer_.DebugMode) port_->DeleteTrigger(sequencer_.EchoTriggerHandle);
    LogMessage(MsgUploadIncomplete);
    // Which failure it was: in the run record's ending always, in the log
    // with the debug switch.
    outcome_.upload_failure = "upload of image " + std::to_string(sequencer_.FlashStage) +
                              " stopped with error " + std::to_string(error_code) + " (" +
                              serial::CommErrorMessage(error_code) + ")";
    // A block the device did not take: the system's words go with it, and
    // to the port's row.
    if (const std::string why = port_->LastWriteFailure();
        error_code == serial::ecPutBlockFail && !why.empty()) {
        outcome_.upload_failure += ": " + why;
        LogPortFailure(*this, fields_.FlashPort, platform::DeviceFault::Other, why);
    }
    if (sequencer_.DebugMode) LogLine("Flash file " + outcome_.upload_failure + ".");
    sequencer_.StepNumber = sequencer_.ResultStep();
    StartTimer1();
}

void MainForm::ComPort1TriggerAvail(std::uint16_t count) {
    if (!sequencer_.DebugMode) return;
    port_->ReadChars(count, fields_.EchoBuffer); // the notice's batch, at once
}

void MainForm::ComPort1TriggerData(std::uint16_t handle) {
    if (!sequencer_.DebugMode || handle != sequencer_.EchoTriggerHandle) return;
    if (fields_.EchoBuffer.size() > 4) LogLine(fields_.EchoBuffer);
    fields_.EchoBuffer.clear();
}

// ---- Event log --------------------------------------------------------------

std::string MainForm::MessageText(MsgId id) const {
    return app::MessageText(id, fields_.MessageLanguage);
}

void MainForm::LogLine(const std::string& text) {
    // The window is gone once it closes; nothing more is written to it.
    if (window_.terminating()) return;
    // A text holding line breaks (the modem's echo) shows as several lines.
    std::string line;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\r' || text[i] == '\n') {
            memo_.push_back(line);
            front_end_.LineLogged(line);
            line.clear();
            if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n') ++i;
        } else {
            line += text[i];
        }
    }
    Changed();
}

void MainForm::NoteMessage(MsgId id) {
    switch (id) {
    case MsgIntegrityFailed:
    case MsgProgrammingFailed:
    case MsgUploadIncomplete:
    case MsgNoFlashSupport:
    case MsgCannotOpenPort:
    case MsgNotRespondingAbort:
    case MsgNotResponding:
    case MsgCommandMode:
    case MsgFailure:
        outcome_.failure_logged = true;
        break;
    case MsgCodeCorrupt:
        // After the boot code the main code follows and may mend it; after
        // the main code it is the modem's verdict on the upgrade.
        if (sequencer_.FlashStage == 2) outcome_.failure_logged = true;
        break;
    default:
        break;
    }
}

void MainForm::LogMessage(MsgId id) {
    const std::string text = MessageText(id);
    NoteMessage(id);
    LogLine(text);
}

void MainForm::LogNumbered(MsgId id, int port) {
    const std::string text = NumberedLine(MessageText(id), port);
    NoteMessage(id);
    LogLine(text);
}

void MainForm::LogSuffixed(MsgId id, Image image) {
    const std::string text = SuffixedLine(MessageText(id), static_cast<int>(image));
    NoteMessage(id);
    LogLine(text);
}

void MainForm::LogWithCode(MsgId id, std::int64_t code) {
    const std::string text = CodeLine(MessageText(id), code);
    NoteMessage(id);
    LogLine(text);
}

void MainForm::LogAfterFamily(const std::string& family, MsgId id) {
    const std::string text = FamilyLine(family, MessageText(id));
    NoteMessage(id);
    LogLine(text);
}

void MainForm::ReportException(const std::string& what, bool step, const std::exception* error) {
    (step ? outcome_.halted : outcome_.handler_error) = true;
    // The box says what the library calls it; the port's row, its tooltip
    // and the run record say what the system said.
    const auto* comm = dynamic_cast<const serial::ECommException*>(error);
    const int port = port_->ComNumber();
    if (comm != nullptr && !comm->OsReason.empty() && port >= 1 && port <= kPorts)
        LogPortFailure(*this, port, error);
    front_end_.ShowMessage(what, MessageKind::Exception);
}

} // namespace tollander::app
