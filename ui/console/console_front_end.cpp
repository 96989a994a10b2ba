#include "ui/console/console_front_end.h"

#include "app/run_record.h"
#include "platform/console/stop_signals.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <istream>
#include <mutex>
#include <ostream>

namespace tollander::ui {

using app::ButtonId;

std::string ProgressReport::Update(bool uploading, int image, std::int64_t sent,
                                   std::int64_t total, double rate) {
    if (!uploading || total <= 0) {
        image = 0;
        sent = total = -1;
    }
    if (sent == shown_sent_ && total == shown_total_ && image == shown_image_) return {};
    if (total != shown_total_ || image != shown_image_ || sent <= 0) decile_ = -1;
    shown_sent_ = sent;
    shown_total_ = total;
    shown_image_ = image;
    if (image == 0) return Close();
    const std::string line = app::ProgressText(image, sent, total, rate);
    if (!in_place_) {
        const int decile = static_cast<int>(sent * 10 / total);
        if (decile == decile_) return {};
        decile_ = decile;
        return line + "\n";
    }
    std::string text = "\r" + line;
    if (line.size() < width_) text.append(width_ - line.size(), ' ');
    width_ = line.size();
    open_ = true;
    return text;
}

std::string ProgressReport::Close() {
    if (!open_) return {};
    open_ = false;
    width_ = 0;
    return "\n";
}

int ExitStatus(const app::RunOutcome& o) {
    using app::Ending;
    static constexpr struct {
        Ending ending;
        int status;
    } kStatus[] = {
        {Ending::Succeeded, 0},  {Ending::Failed, 1},       {Ending::NotNeeded, 1},
        {Ending::Error, 1},      {Ending::Damaged, 1},      {Ending::NoModem, 2},
        {Ending::NotStarted, 2}, {Ending::WrongUtility, 3},
    };
    const Ending ending = app::ClassifyEnding(o);
    for (const auto& entry : kStatus)
        if (entry.ending == ending) return entry.status;
    return 1;
}

bool StopGuard::Stops(bool uploading, Clock::time_point now) {
    if (!uploading) return true;
    if (held_at_ && now - *held_at_ <= kConfirmWithin) return true;
    held_at_ = now;
    return false;
}

// ---- LineReader -----------------------------------------------------------------

struct LineReader::Shared {
    Shared(std::istream& i, platform::WindowThread& w) : in(i), window(w) {}
    std::istream& in;
    platform::WindowThread& window;
    std::mutex mutex;
    std::condition_variable asked_cv;
    bool asked = false;
    bool reading = false;
    bool quit = false;
    Got got = Got::Nothing;
    std::string line;

    void Run() {
        std::unique_lock lock(mutex);
        for (;;) {
            asked_cv.wait(lock, [this] { return asked || quit; });
            if (quit) return;
            asked = false;
            reading = true;
            lock.unlock();
            std::string text;
            const bool ok = static_cast<bool>(std::getline(in, text));
            lock.lock();
            reading = false;
            if (quit) return;
            line = std::move(text);
            got = ok ? Got::Line : Got::End;
            window.wake();
        }
    }
};

LineReader::LineReader(std::istream& in, platform::WindowThread& window)
    : shared_(std::make_shared<Shared>(in, window)) {
    thread_ = std::thread([shared = shared_] { shared->Run(); });
}

LineReader::~LineReader() {
    bool blocked = false;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->quit = true;
        blocked = shared_->reading;
    }
    shared_->asked_cv.notify_one();
    // A read blocked on a terminal or a pipe may never return; it touches
    // nothing of ours when it does.
    if (blocked)
        thread_.detach();
    else
        thread_.join();
}

void LineReader::Ask() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->asked = true;
        shared_->got = Got::Nothing;
    }
    shared_->asked_cv.notify_one();
}

LineReader::Got LineReader::Take(std::string& line) {
    std::lock_guard lock(shared_->mutex);
    const Got got = shared_->got;
    if (got == Got::Nothing) return got;
    shared_->got = Got::Nothing;
    line = std::move(shared_->line);
    return got;
}

// ---- ConsoleFrontEnd --------------------------------------------------------------

ConsoleFrontEnd::ConsoleFrontEnd(platform::HeadlessWindowThread& window, std::istream& in,
                                 std::ostream& out, std::ostream& err)
    : window_(window), in_(in), out_(out), err_(err), reader_(in, window) {}

int ConsoleFrontEnd::Run(app::MainForm& form) {
    form_ = &form;
    form.FormShow();
    while (!window_.terminating()) {
        if (Idle()) {
            if (!asked_) {
                Prompt();
                reader_.Ask();
                asked_ = true;
            }
            std::string line;
            const LineReader::Got got = reader_.Take(line);
            if (got != LineReader::Got::Nothing) {
                asked_ = false;
                if (got == LineReader::Got::Line)
                    HandleCommand(line);
                else
                    HandleEndOfInput();
                continue;
            }
        }
        window_.wait(std::chrono::minutes(1));
    }
    form_ = nullptr;
    return ExitStatus(form.Outcome());
}

// Waiting for the user: the scan summary's wait, the stop, or a sequencer
// halted by an error (only leaving is left then).
bool ConsoleFrontEnd::Idle() const {
    if (form_->WaitingForUser()) return true;
    return form_->Outcome().halted && !form_->Timer1Enabled() && !form_->TheSequencer().InStep() &&
           !window_.terminating();
}

void ConsoleFrontEnd::Prompt() {
    if (prompted_) return;
    err_ << "> 1-4 tick a port, f or Enter: FLASH!, s: Start Over, q: Quit" << std::endl;
    prompted_ = true;
}

// End of input: leave, as "&Quit" would (or "E&xit" while it is off).
void ConsoleFrontEnd::HandleEndOfInput() {
    auto& f = *form_;
    if (f.Enabled(ButtonId::Button1))
        f.Button1Click();
    else
        f.File1Click();
}

void ConsoleFrontEnd::HandleCommand(const std::string& command) {
    auto& f = *form_;
    std::string line = command;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() == 1 && line[0] >= '1' && line[0] <= '4') {
        const int port = line[0] - '0';
        if (f.CheckBoxEnabled(port))
            f.Guarded([&] { f.SetChecked(port, true); });
        else
            err_ << "COM" << port << " cannot be chosen." << std::endl;
    } else if (line.empty() || line == "f") {
        if (f.Enabled(ButtonId::Button2)) {
            f.Button2Click();
            prompted_ = false;
        } else {
            err_ << "FLASH! is not available now." << std::endl;
        }
    } else if (line == "s") {
        if (f.Enabled(ButtonId::Button4)) {
            f.Guarded([&] { f.Button4Click(); });
            prompted_ = false;
        } else {
            err_ << "Start Over is not available now." << std::endl;
        }
    } else if (line == "q") {
        HandleEndOfInput();
    } else {
        err_ << "Unknown command: " << line << std::endl;
    }
}

bool ConsoleFrontEnd::RequestStop(const std::string& name, StopGuard::Clock::time_point now) {
    const auto step = form_ ? form_->TheSequencer().StepNumber : 0;
    const bool uploading = step == app::stepStartBootUpload || step == app::stepStartMainUpload;
    if (!stop_guard_.Stops(uploading, now)) {
        Say("tollander-flash-console: " + name +
            ": the upload goes on, since stopping now leaves the modem without working code; "
            "another " + platform::StopSignals::Names() + " within " +
            std::to_string(StopGuard::kConfirmWithin.count()) + " s stops it anyway.");
        if (note_) note_(name + " during the upload: held back");
        return false;
    }
    if (note_) note_("stopped by " + name);
    if (!form_) {
        window_.terminate();
        return true;
    }
    form_->MutableOutcome().stopped_by = name;
    form_->Guarded([this] { form_->File1Click(); });
    return true;
}

void ConsoleFrontEnd::ModelChanged() {
    if (!form_) return;
    const auto& f = *form_;
    for (int port = 1; port <= app::MainForm::kPorts; ++port) {
        if (f.EditText(port) != rows_[port]) {
            EndProgressLine();
            rows_[port] = f.EditText(port);
            err_ << "COM" << port << ": " << rows_[port] << std::endl;
        }
        // Why the row reads as it does (the port's reason, another holder),
        // on every run: the event log keeps its fixed lines.
        if (f.Fields().PortNote[port] != notes_[port]) {
            notes_[port] = f.Fields().PortNote[port];
            if (!notes_[port].empty()) {
                EndProgressLine();
                err_ << notes_[port] << std::endl;
            }
        }
        const int box = (f.Checked(port) ? 1 : 0) | (f.CheckBoxEnabled(port) ? 2 : 0);
        if (box != boxes_[port]) {
            EndProgressLine();
            boxes_[port] = box;
            err_ << "COM" << port << " flash box: " << (f.Checked(port) ? "[x]" : "[ ]")
                 << (f.CheckBoxEnabled(port) ? "" : " (disabled)") << std::endl;
        }
    }
    // The upload runs while its step waits with the timer stopped; the total
    // is the HEX file's size.
    const auto step = f.TheSequencer().StepNumber;
    const bool uploading =
        (step == app::stepStartBootUpload || step == app::stepStartMainUpload) &&
        !f.Timer1Enabled();
    // Bytes and rate as the line has them (UploadEstimate).
    err_ << progress_.Update(uploading, step == app::stepStartBootUpload ? 1 : 2,
                             f.Upload().Sent(), form_->Payload().UploadSize(), f.Upload().Rate())
         << std::flush;
}

void ConsoleFrontEnd::EndProgressLine() {
    err_ << progress_.Close();
}

void ConsoleFrontEnd::Say(const std::string& line) {
    EndProgressLine();
    err_ << line << std::endl;
}

void ConsoleFrontEnd::LineLogged(const std::string& line) {
    EndProgressLine();
    if (log_lost_) return;
    const std::string failure = WriteLogLine(line);
    if (failure.empty()) return;
    // A reader that went away or a full disk must not cost the modem its
    // upgrade: the run goes on, and the record keeps the whole log.
    log_lost_ = true;
    Say("tollander-flash-console: the event log cannot be written to stdout (" + failure +
        "); it is lost there from the line \"" + line +
        "\" on. The upgrade goes on; the run record keeps the whole log.");
    if (note_) note_("the event log is lost on stdout from here on: " + failure);
}

void ConsoleFrontEnd::LineTraced(const std::string& line) {
    if (trace_) Say("trace " + line);
}

std::string ConsoleFrontEnd::WriteLogLine(const std::string& line) {
    errno = 0;
    out_ << line << '\n' << std::flush;
    if (out_) return {};
    return errno != 0 ? std::strerror(errno) : "write error";
}

void ConsoleFrontEnd::LogCleared() {
    err_ << "(event log cleared)" << std::endl;
    rows_ = {};
    notes_ = {};
}

void ConsoleFrontEnd::ShowMessage(const std::string& text, app::MessageKind kind) {
    EndProgressLine();
    err_ << (kind == app::MessageKind::Exception ? "Error: " : "") << text << std::endl;
}

void ConsoleFrontEnd::ShowAbout() {
    err_ << "Veltrane Tollander z5 Upgrade Program, Version 1.54/32" << std::endl;
}

void ConsoleFrontEnd::CloseMainWindow() {
    window_.terminate();
}

} // namespace tollander::ui
