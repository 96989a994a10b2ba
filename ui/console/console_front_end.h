// The text front end: the event log on stdout, everything else on stderr,
// commands read from stdin only while the program waits for the user.
#pragma once

#include "app/front_end.h"
#include "app/main_form.h"
#include "platform/thread/headless_window_thread.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace tollander::ui {

// The upload's progress on stderr: on a terminal one line rewritten in
// place, elsewhere (a log file, a pipe) one line per tenth.
class ProgressReport {
public:
    explicit ProgressReport(bool in_place) : in_place_(in_place) {}

    // The text to write for the upload as it is now ("" when nothing
    // changed): `image` 1 boot, 2 main; `sent` bytes of `total` on the line,
    // at `rate` bytes a second (0 while not known).
    std::string Update(bool uploading, int image, std::int64_t sent, std::int64_t total,
                       double rate);
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
};

// 0: an upgrade ran through the NVRAM rewrite with no failure line;
// 1: an upgrade failed or was not needed, a step ended in an error, or the
// flasher is damaged; 2: no modem was found or the user quit before
// flashing; 3: the wrong-utility exit. (A run stopped by a signal ends as
// that signal ends a program.)
int ExitStatus(const app::RunOutcome& outcome);

// What a request to stop (SIGINT, SIGTERM, SIGHUP) does: it ends the run,
// except the first during an upload, which is held back, since stopping then
// leaves the modem without working code; another within kConfirmWithin of
// that one ends the run anyway.
class StopGuard {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kConfirmWithin{5};

    // True when the request made at `now` ends the run.
    bool Stops(bool uploading, Clock::time_point now);

private:
    std::optional<Clock::time_point> held_at_;
};

// Reads the console's input a line at a time on a thread of its own, and
// only when asked: the window thread serves its tasks (a request to stop)
// while the program waits for the user, and what the program does not ask
// for stays unread.
class LineReader {
public:
    enum class Got { Nothing, Line, End };

    LineReader(std::istream& in, platform::WindowThread& window);
    // A read still blocked on the input is left to the end of the process.
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Asks for the next line; the window thread is woken when it came.
    void Ask();
    // The line asked for, once it came (End: the input ended).
    Got Take(std::string& line);

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

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
    // Where what the console says about the run itself goes besides stderr
    // (the run record): the log lost on stdout, a request to stop.
    void SetNote(std::function<void(const std::string&)> note) { note_ = std::move(note); }
    // --trace: the line's traffic on stderr too, each line after "trace ".
    void SetTrace(bool trace) { trace_ = trace; }
    // A request to stop by `name` ("SIGINT") made at `now`: held back with a
    // warning (StopGuard), or the run ends as "E&xit" ends it. True when it
    // ends. Window thread.
    bool RequestStop(const std::string& name, StopGuard::Clock::time_point now);

    void ModelChanged() override;
    void LineLogged(const std::string& line) override;
    void LineTraced(const std::string& line) override;
    void LogCleared() override;
    void ShowMessage(const std::string& text, app::MessageKind kind) override;
    void ShowAbout() override;
    void CloseMainWindow() override;

private:
    bool Idle() const;
    void Prompt();
    void HandleCommand(const std::string& line);
    void HandleEndOfInput();
    void EndProgressLine();
    // The one place that writes the event log to stdout: "" when the line
    // went out, else why not.
    std::string WriteLogLine(const std::string& line);

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
    bool asked_ = false;    // a line is asked of the reader
    bool log_lost_ = false; // stdout failed: the log goes to the record only
    bool trace_ = false;
    StopGuard stop_guard_;
    std::function<void(const std::string&)> note_;
    LineReader reader_;
};

} // namespace tollander::ui
