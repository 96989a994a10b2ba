// The text front end: the event log on stdout, everything else on stderr,
// commands read from stdin only while the program waits for the user.
#pragma once

#include "app/front_end.h"
#include "app/main_form.h"
#include "platform/headless_window_thread.h"

#include <array>
#include <iosfwd>
#include <string>

namespace tollander::ui {

// 0: an upgrade ran through the NVRAM rewrite with no failure line;
// 1: an upgrade failed or a step ended in an error; 2: no modem was found or
// the user quit before flashing; 3: the wrong-utility exit.
int ExitStatus(const app::RunOutcome& outcome);

class ConsoleFrontEnd final : public app::FrontEnd {
public:
    ConsoleFrontEnd(platform::HeadlessWindowThread& window, std::istream& in, std::ostream& out,
                    std::ostream& err);

    // Shows the form, runs the loop until the main window closes; returns
    // the exit status.
    int Run(app::MainForm& form);

    void ModelChanged() override;
    void LineLogged(const std::string& line) override;
    void LogCleared() override;
    void ShowMessage(const std::string& text, app::MessageKind kind) override;
    void ShowAbout() override;
    void CloseMainWindow() override;

private:
    bool Idle() const;
    void ReadCommand();

    platform::HeadlessWindowThread& window_;
    std::istream& in_;
    std::ostream& out_;
    std::ostream& err_;
    app::MainForm* form_ = nullptr;

    // What was last shown on stderr, to print only changes.
    std::array<std::string, 5> rows_{};
    std::array<int, 5> boxes_{};
    int progress_decile_ = -1;
    bool prompted_ = false;
};

} // namespace tollander::ui
