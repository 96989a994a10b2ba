// The text front end: the event log on stdout, everything else on stderr,
// commands read from stdin only while the program waits for the user.
#pragma once

#include "app/front_end.h"
#include "app/main_form.h"
#include "platform/headless_window_thread.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

namespace tollander::ui {

// "Main code (2): 245730 of 491460 bytes, 50%, 11.5 kB/s, 0:21 left": the
// image (1 boot, 2 main), bytes sent of the total, and, once it is known
// (`rate` in bytes a second, 0 before), the rate and the time left.
std::string ProgressLine(int image, std::int64_t sent, std::int64_t total, double rate);

// The upload's progress on stderr: on a terminal one line rewritten in
// place, elsewhere (a log file, a pipe) one line per tenth.
class ProgressReport {
public:
    using Clock = std::chrono::steady_clock;
    explicit ProgressReport(bool in_place) : in_place_(in_place) {}

    // The text to write for the upload as it is now ("" when nothing
    // changed): `image` 1 boot, 2 main; `sent` bytes of `total`.
    std::string Update(bool uploading, int image, std::int64_t sent, std::int64_t total,
                       Clock::time_point now);
    // Ends a line written in place, before other output ("" when none is open).
    std::string Close();

private:
    bool in_place_;
    bool open_ = false;
    std::int64_t shown_sent_ = -1; // the state last shown, to print only changes
    std::int64_t shown_total_ = -1;
    int shown_image_ = 0;
    int decile_ = -1;
    std::size_t width_ = 0; // of the line shown in place, to blank a longer one
    // The first block goes into the empty output queue at once; the rate is
    // how fast the blocks after it follow, which the line sets.
    std::int64_t first_sent_ = -1;
    Clock::time_point first_at_{};
};

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
    // Progress rewritten in place (stderr is a terminal) or a line per tenth.
    void SetProgressInPlace(bool in_place) { progress_ = ProgressReport(in_place); }
    // A line of the program's own on stderr, after a progress line written
    // in place has been ended. Window thread.
    void Say(const std::string& line);

    void ModelChanged() override;
    void LineLogged(const std::string& line) override;
    void LogCleared() override;
    void ShowMessage(const std::string& text, app::MessageKind kind) override;
    void ShowAbout() override;
    void CloseMainWindow() override;

private:
    bool Idle() const;
    void ReadCommand();
    void EndProgressLine();

    platform::HeadlessWindowThread& window_;
    std::istream& in_;
    std::ostream& out_;
    std::ostream& err_;
    app::MainForm* form_ = nullptr;

    // What was last shown on stderr, to print only changes.
    std::array<std::string, 5> rows_{};
    std::array<std::string, 5> notes_{};
    std::array<int, 5> boxes_{};
    ProgressReport progress_{false};
    bool prompted_ = false;
};

} // namespace tollander::ui
