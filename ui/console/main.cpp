// tollander-flash-console: the upgrade program with a text front end.
#include "app/flasher_main.h"
#include "app/main_form.h"
#include "app/run_record.h"
#include "platform/console/stop_signals.h"
#include "platform/console/terminal.h"
#include "platform/thread/headless_window_thread.h"
#include "ui/console/console_front_end.h"

#include <atomic>
#include <iostream>
#include <optional>

namespace {

using namespace tollander;

constexpr const char* kProgram = "tollander-flash-console";

class ConsoleShell final : public app::FlasherShell {
public:
    // The signal that ended the run, 0 when none did.
    int StoppedBy() const { return stopped_by_; }

    void Say(const std::string& line) override {
        if (console_)
            console_->Say(line);
        else
            std::cerr << line << std::endl;
    }

    // Before any thread starts; a closed stdout no longer ends the run.
    void Begin(const app::FlasherOptions& options) override {
        signals_.emplace();
        trace_ = options.trace;
    }

    void NoFirmware(const std::string& /*text*/) override {
        std::cerr << app::kNoFirmwareEnding << std::endl;
    }

    Parts Open() override {
        window_.emplace();
        console_.emplace(*window_, std::cin, std::cout, std::cerr);
        console_->SetProgressInPlace(platform::StandardErrorIsTerminal());
        console_->SetTrace(trace_);
        return {*window_, *console_};
    }

    Ran Run(app::MainForm& form, app::RunRecord& record) override {
        console_->SetNote([&record](const std::string& text) { record.Note(text); });
        // A request to stop is weighed on the window thread while the loop
        // runs; one that comes while the run is already ending, or after the
        // loop, ends the process at once.
        struct Unhandled {
            platform::StopSignals& signals;
            ~Unhandled() { signals.SetHandler(nullptr); }
        } unhandled{*signals_};
        signals_->SetHandler([this](int signal, const std::string& name) {
            if (stopping_ != 0) platform::StopSignals::EndBy(signal);
            const auto now = ui::StopGuard::Clock::now();
            window_->post([this, signal, name, now] {
                if (console_->RequestStop(name, now)) stopping_ = signal;
            });
        });
        int status = console_->Run(form);
        signals_->SetHandler(nullptr);
        stopped_by_ = stopping_;
        if (stopped_by_ != 0) status = 128 + stopped_by_;
        // After "Incorrect flash utility for modem.": the country the modem
        // gave and the ones this flasher accepts.
        if (const std::string& why = form.Outcome().wrong_country; !why.empty())
            Say(std::string(kProgram) + ": " + why);
        return {status, "Exit status " + std::to_string(status) + "."};
    }

    // The run's outcome, said once and last.
    void Ended(const app::RunOutcome& outcome) override { Say(app::DescribeEnding(outcome)); }

    void Failed(const std::string& what) override {
        std::cerr << "Error: " << what << "\n"
                  << "No upgrade: the flasher stopped with this error." << std::endl;
    }

private:
    std::optional<platform::StopSignals> signals_;
    bool trace_ = false;
    std::atomic<int> stopping_{0};
    int stopped_by_ = 0;
    std::optional<platform::HeadlessWindowThread> window_;
    std::optional<ui::ConsoleFrontEnd> console_; // goes before its loop
};

} // namespace

int main(int argc, char** argv) {
    platform::WriteTextForTheConsole();
    int stopped_by = 0;
    int status = 1;
    {
        ConsoleShell shell;
        status = app::RunFlasher(shell, kProgram, std::vector<std::string>(argv, argv + argc));
        stopped_by = shell.StoppedBy();
    } // the stop signals go last, after every thread of the run
    // Cleaned up; now the end a signal asked for.
    if (stopped_by != 0) platform::StopSignals::EndBy(stopped_by);
    return status;
}
