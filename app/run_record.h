// The run record: every run of a flasher appends what a vendor needs to
// judge it (the program, the flasher's configuration and image digests, the
// event log with times, the ports and how the run ended) to one file under
// the user's state directory. The file is bounded, oldest runs going first,
// and always replaced whole, so a crash or a full disk never costs the runs
// already in it. A record that cannot be written never stops an upgrade.
#pragma once

#include "app/front_end.h"
#include "payload/vendor_keys.h"
#include "platform/fs/files.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tollander::app {

class MainForm;
struct RunOutcome;

inline constexpr std::size_t kRunRecordLimit = 512 * 1024;
inline constexpr const char* kRunRecordName = "runs.log";
// Each run starts with a line beginning so; no other line does.
inline constexpr const char* kRunHeaderMark = "=== ";

// <state directory>/runs.log; "" when the user has no home.
std::string RunRecordPath();

// What the flasher at `exe_path` carries: its configuration (the debug dump's
// lines) and the SHA-256 of each image as stored, with whether it matches the
// digest recorded when the flasher was built. Read from `file` when given
// (the program's own file, held open: the bytes the run sends). With
// `keys` (or a signed flasher), a line on its signature. Never throws.
std::vector<std::string> DescribeFlasher(const std::string& exe_path,
                                         platform::File* file = nullptr,
                                         payload::VendorKeys keys = payload::BuiltInVendorKeys());

// `file` with the run that starts with `header` replaced by `run` (or `run`
// appended), then the oldest runs dropped until it holds at most `limit`
// bytes; a run longer than the limit on its own loses its middle.
std::string MergeRun(const std::string& file, const std::string& header, const std::string& run,
                     std::size_t limit);

// How a run ended, as the flashers report it.
enum class Ending {
    Succeeded,    // the upgrade ran through the NVRAM rewrite with no failure line
    Failed,       // FLASH! was pressed and the upgrade did not complete
    NotNeeded,    // the modem did not need the main code
    NoModem,      // the scan found no modem to flash
    NotStarted,   // ended before FLASH! (Quit, end of input, a signal)
    Error,        // a step or an action ended in an error before FLASH!
    WrongUtility, // "Incorrect flash utility for modem."
    Damaged,      // the flasher found its own end damaged at start-up
};
Ending ClassifyEnding(const RunOutcome& outcome);

// How the run ended, in one plain sentence: whether the upgrade succeeded,
// failed (and the state it left the modem in) or was not needed. The
// console's last line on stderr and the run record's end.
std::string DescribeEnding(const RunOutcome& outcome);

// How long Finish waits for the last write: the turn of another flasher at
// the record's lock included.
inline constexpr std::chrono::milliseconds kRunRecordFinishLimit{10'000};

class RunRecord {
public:
    // Starts the run's entry at `path` ("" records nothing and says so).
    // `command_line`: the program's file, then its arguments; `flasher`,
    // when given, that file held open (DescribeFlasher).
    RunRecord(std::string path, std::string program, const std::vector<std::string>& command_line,
              platform::File* flasher = nullptr, std::size_t limit = kRunRecordLimit,
              std::chrono::milliseconds finish_limit = kRunRecordFinishLimit);
    // Finishes with an unknown ending when Finish() was not called.
    ~RunRecord();
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;

    // A line of the event log, stamped with the time now.
    void Line(const std::string& line);
    // Something besides the log (a message box, the log cleared).
    void Note(const std::string& text);
    // A line of the line's trace (LineTrace), among the log's lines.
    void Trace(const std::string& line);
    // The ports' rows and the port used, as they stand now.
    void SetPorts(std::vector<std::string> lines);
    // The last write, with the ending; returns once it is on disk or failed,
    // or after `finish_limit` when another program holds the record's lock
    // (Failure() then says so, and nothing more of this run is written).
    void Finish(const std::string& ending);

    // Why the record could not be written; "" while it could.
    std::string Failure() const;
    const std::string& Path() const;

private:
    // An entry among the log's lines, stamped with the time now.
    void Append(const std::string& entry);

    struct Book;
    std::shared_ptr<Book> book_;
    const std::chrono::milliseconds finish_limit_;
    std::thread writer_;
};

// The front end the form talks to: passes every call on to the real one and
// keeps the record. `report_failure` is told, once and on the window thread,
// when the record cannot be written.
class RunRecordFrontEnd final : public FrontEnd {
public:
    RunRecordFrontEnd(FrontEnd& inner, RunRecord& record,
                      std::function<void(const std::string&)> report_failure);

    // The form whose ports are recorded; before its first tick.
    void Attach(MainForm* form) { form_ = form; }
    // Finishes the record with how the form's run ended (and `detail` after
    // it, e.g. "Exit status 0."), and reports a failure not reported yet.
    void Finish(const std::string& detail = "");

    void ModelChanged() override;
    void LineLogged(const std::string& line) override;
    void LineTraced(const std::string& line) override;
    void LogCleared() override;
    void ShowMessage(const std::string& text, MessageKind kind) override;
    void ShowAbout() override;
    void CloseMainWindow() override;

private:
    void RecordPorts();
    void CheckFailure();

    FrontEnd& inner_;
    RunRecord& record_;
    std::function<void(const std::string&)> report_failure_;
    MainForm* form_ = nullptr;
    bool reported_ = false;
};

} // namespace tollander::app
