#include "ui/console/console_front_end.h"

#include <chrono>
#include <istream>
#include <ostream>

namespace tollander::ui {

using app::ButtonId;

int ExitStatus(const app::RunOutcome& o) {
    if (o.wrong_utility) return 3;
    if (o.halted || o.handler_error) return 1;
    if (o.flash_requested) return o.nvram_rewritten && !o.failure_logged ? 0 : 1;
    return 2;
}

ConsoleFrontEnd::ConsoleFrontEnd(platform::HeadlessWindowThread& window, std::istream& in,
                                 std::ostream& out, std::ostream& err)
    : window_(window), in_(in), out_(out), err_(err) {}

int ConsoleFrontEnd::Run(app::MainForm& form) {
    form_ = &form;
    form.FormShow();
    while (!window_.terminating()) {
        if (Idle())
            ReadCommand();
        else
            window_.wait(std::chrono::minutes(1));
    }
    form_ = nullptr;
    return ExitStatus(form.Outcome());
}

// Waiting for the user: the scan summary's wait, the stop, or a sequencer
// halted by an error (only leaving is left then).
bool ConsoleFrontEnd::Idle() const {
    if (form_->WaitingForUser()) return true;
    return form_->Outcome().halted && !form_->Timer1Enabled() && !form_->sequencer().InStep() &&
           !window_.terminating();
}

void ConsoleFrontEnd::ReadCommand() {
    auto& f = *form_;
    if (!prompted_) {
        err_ << "> 1-4 tick a port, f or Enter: FLASH!, s: Start Over, q: Quit" << std::endl;
        prompted_ = true;
    }
    std::string line;
    if (!std::getline(in_, line)) {
        // End of input: leave, as "&Quit" would (or "E&xit" while it is off).
        if (f.Enabled(ButtonId::Button1))
            f.Button1Click();
        else
            f.File1Click();
        return;
    }
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
        if (f.Enabled(ButtonId::Button1))
            f.Button1Click();
        else
            f.File1Click();
    } else {
        err_ << "Unknown command: " << line << std::endl;
    }
}

void ConsoleFrontEnd::ModelChanged() {
    if (!form_) return;
    const auto& f = *form_;
    for (int port = 1; port <= app::MainForm::kPorts; ++port) {
        if (f.EditText(port) != rows_[port]) {
            rows_[port] = f.EditText(port);
            err_ << "COM" << port << ": " << rows_[port] << std::endl;
        }
        const int box = (f.Checked(port) ? 1 : 0) | (f.CheckBoxEnabled(port) ? 2 : 0);
        if (box != boxes_[port]) {
            boxes_[port] = box;
            err_ << "COM" << port << " flash box: " << (f.Checked(port) ? "[x]" : "[ ]")
                 << (f.CheckBoxEnabled(port) ? "" : " (disabled)") << std::endl;
        }
    }
    const auto& gauge = f.Gauge1();
    const int decile =
        gauge.Visible() && gauge.MaxValue() > 0
            ? static_cast<int>(std::int64_t{gauge.Progress()} * 10 / gauge.MaxValue())
            : -1;
    if (decile != progress_decile_) {
        progress_decile_ = decile;
        if (decile >= 0) err_ << "Flash progress: " << decile * 10 << "%" << std::endl;
    }
}

void ConsoleFrontEnd::LineLogged(const std::string& line) {
    out_ << line << '\n' << std::flush;
}

void ConsoleFrontEnd::LogCleared() {
    err_ << "(event log cleared)" << std::endl;
    rows_ = {};
}

void ConsoleFrontEnd::ShowMessage(const std::string& text, app::MessageKind kind) {
    err_ << (kind == app::MessageKind::Exception ? "Error: " : "") << text << std::endl;
}

void ConsoleFrontEnd::ShowAbout() {
    err_ << "Veltrane Tollander z5 Upgrade Program, Version 1.54/32" << std::endl;
}

void ConsoleFrontEnd::CloseMainWindow() {
    window_.terminate();
}

} // namespace tollander::ui
