#include "app/run_record.h"

#include "app/main_form.h"
#include "payload/config_record.h"
#include "payload/integrity.h"
#include "payload/payload.h"
#include "platform/command_line.h"
#include "platform/fs/files.h"
#include "platform/fs/state_dir.h"

#include <atomic>

namespace tollander::app {

namespace {

using SystemClock = std::chrono::system_clock;

// The one place that reads the images' digests: the SHA-256 of each image
// as stored, and what the digest block recorded for it ("" when it holds
// none).
struct ImageDigest {
    const char* name;
    std::int32_t length;
    std::string actual;
    std::string recorded;
};

std::vector<ImageDigest> ReadImageDigests(platform::File& file, const payload::RawConfigRecord& raw,
                                          const payload::ConfigRecord& record,
                                          payload::BlockLookup& lookup) {
    const auto layout = payload::ComputeLayout(file.Size(), record.BootLength, record.MainLength);
    lookup = payload::FindIntegrityBlock(file, layout.sound_start, raw);
    const bool present = lookup.state == payload::BlockState::Present;
    std::vector<ImageDigest> digests;
    const auto add = [&](const char* name, std::int64_t start, std::int32_t length,
                         const payload::Digest& recorded) {
        digests.push_back({name, length,
                           length > 0 ? payload::DigestHex(payload::DigestRange(file, start, length))
                                      : std::string(),
                           present ? payload::DigestHex(recorded) : std::string()});
    };
    add("Boot image", layout.boot_start, record.BootLength, lookup.block.boot);
    add("Main image", layout.main_start, record.MainLength, lookup.block.main);
    return digests;
}

std::string Join(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& w : words)
        text += (text.empty() ? "" : " ") + w;
    return text;
}

// A run's header names it uniquely: its start, the program and the process.
std::string MakeHeader(const std::string& program) {
    static std::atomic<int> runs{0};
    const int run = ++runs;
    std::string header = std::string(kRunHeaderMark) +
                         platform::LocalDateTime(SystemClock::now()) + " " + program +
                         " (process " + std::to_string(platform::ProcessId());
    if (run > 1) header += ", run " + std::to_string(run);
    return header + ") ===";
}

// The lines of `text`, each with its line break.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t end = text.find('\n', from);
        const std::size_t next = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(from, next - from));
        from = next;
    }
    return lines;
}

} // namespace

std::string RunRecordPath() {
    const std::string dir = platform::StateDirPath();
    return dir.empty() ? std::string() : dir + "/" + kRunRecordName;
}

std::vector<std::string> DescribeFlasher(const std::string& exe_path, platform::File* held,
                                         payload::VendorKeys keys) {
    std::vector<std::string> lines;
    try {
        platform::File opened;
        if (held == nullptr) opened = platform::File::OpenRead(exe_path);
        platform::File& file = held != nullptr ? *held : opened;
        if (!file.Valid()) return {"Flasher cannot be read: " + exe_path};
        payload::RawConfigRecord raw{};
        if (file.Size() < static_cast<std::int64_t>(raw.size()) ||
            !file.SeekFromEnd(-static_cast<std::int64_t>(raw.size())))
            return {"Flasher carries no configuration"};
        file.ReadExact(raw.data(), raw.size());
        const payload::ConfigRecord record = payload::ParseConfigRecord(raw);
        lines = payload::DumpConfigRecord(record);
        if (record.BootLength < 0 || record.MainLength < 0 ||
            payload::kSoundLength + record.BootLength + record.MainLength +
                    static_cast<std::int64_t>(raw.size()) >
                file.Size()) {
            lines.push_back("Images       = the record's lengths do not fit the file");
            return lines;
        }
        payload::BlockLookup lookup;
        const auto digests = ReadImageDigests(file, raw, record, lookup);
        const payload::BlockState state = lookup.state;
        for (const ImageDigest& d : digests) {
            std::string line = std::string(d.name) + "   = ";
            if (d.length <= 0) {
                line += "none";
            } else {
                line += "SHA-256 " + d.actual;
                if (state == payload::BlockState::Present)
                    line += d.actual == d.recorded ? " (matches the recorded digest)"
                                                   : " (recorded " + d.recorded + ": DIFFERS)";
            }
            lines.push_back(line);
        }
        if (state == payload::BlockState::Absent)
            lines.push_back("Integrity    = no digests recorded in the flasher");
        else if (state == payload::BlockState::Damaged)
            lines.push_back("Integrity    = the flasher's digest block is damaged");
        // Why a program with vendor keys took or refused it.
        const payload::SignatureInfo signature = payload::ReadSignature(lookup, keys);
        if (!keys.empty() || signature.present)
            lines.push_back(payload::DescribeSignature(signature, !keys.empty()));
    } catch (const std::exception& e) {
        lines.push_back(std::string("Flasher could not be read to its end: ") + e.what());
    }
    return lines;
}

std::string MergeRun(const std::string& file, const std::string& header, const std::string& run,
                     std::size_t limit) {
    // Split into runs; anything before the first header counts as the oldest.
    std::vector<std::string> runs;
    for (const std::string& line : SplitLines(file)) {
        if (runs.empty() || line.rfind(kRunHeaderMark, 0) == 0) runs.emplace_back();
        runs.back() += line;
    }
    std::size_t ours = runs.size();
    for (std::size_t i = 0; i < runs.size(); ++i)
        if (runs[i].compare(0, header.size(), header) == 0 &&
            runs[i].size() > header.size() && runs[i][header.size()] == '\n')
            ours = i;
    std::string own = run;
    if (own.size() > limit) {
        // Keep the start (what ran, its configuration) and the end (how it
        // ended), both cut at line breaks.
        const std::size_t keep = limit / 2 > 64 ? limit / 2 - 64 : 0;
        const std::size_t head_end = own.rfind('\n', keep);
        const std::size_t tail_start = own.find('\n', own.size() - keep);
        const std::size_t head = head_end == std::string::npos ? 0 : head_end + 1;
        const std::size_t tail = tail_start == std::string::npos ? own.size() : tail_start + 1;
        own = own.substr(0, head) + "  ... " + std::to_string(tail - head) +
              " bytes left out to keep the record small ...\n" + own.substr(tail);
    }
    if (ours == runs.size())
        runs.push_back(own); // `ours` indexes it now
    else
        runs[ours] = own;

    std::size_t total = 0;
    for (const auto& r : runs)
        total += r.size();
    // The oldest go first; this run itself stays.
    std::size_t first = 0;
    while (total > limit && first < ours) {
        total -= runs[first].size();
        ++first;
    }
    std::string merged;
    merged.reserve(total);
    for (std::size_t i = first; i < runs.size(); ++i)
        merged += runs[i];
    return merged;
}

Ending ClassifyEnding(const RunOutcome& o) {
    if (o.wrong_utility) return Ending::WrongUtility;
    if (o.damaged_flasher) return Ending::Damaged;
    if (o.flash_requested) {
        if (o.halted || o.handler_error || o.failure_logged) return Ending::Failed;
        if (o.nvram_rewritten) return Ending::Succeeded;
        return o.main_not_needed ? Ending::NotNeeded : Ending::Failed;
    }
    if (o.halted || o.handler_error) return Ending::Error;
    return o.no_modem ? Ending::NoModem : Ending::NotStarted;
}

std::string DescribeEnding(const RunOutcome& o) {
    const std::string by = o.stopped_by.empty() ? "" : " (stopped by " + o.stopped_by + ")";
    switch (ClassifyEnding(o)) {
    case Ending::Succeeded:
        return "Upgrade succeeded: the modem runs its new code.";
    case Ending::Failed: {
        // The upload's own failure, when one ended the run, before the state.
        const std::string why = o.upload_failure.empty() ? by : by + " (" + o.upload_failure + ")";
        return o.at_boot_prompt
                   ? "Upgrade failed" + why +
                         ": the modem is left at its boot prompt, waiting to be flashed again;"
                         " run the flasher again."
                   : "Upgrade failed" + why +
                         ": nothing was written to the modem; it keeps its old code.";
    }
    case Ending::NotNeeded:
        return "Upgrade not needed: the modem already has this main code. It waits at its boot"
               " prompt; running the flasher again starts its code.";
    case Ending::NoModem:
        return "No upgrade: no modem was found to flash.";
    case Ending::NotStarted:
        return "No upgrade" + by +
               ": the flasher ended before FLASH!; nothing was sent to the modem.";
    case Ending::Error:
        return "No upgrade: a step ended in an error before FLASH!; nothing was sent to the modem.";
    case Ending::WrongUtility:
        return "No upgrade: this flasher is not for the modem's country" +
               (o.wrong_country.empty() ? std::string() : " (" + o.wrong_country + ")") +
               "; nothing was sent to it.";
    case Ending::Damaged:
        return "No upgrade: the flasher is damaged (its end was cut off or added to); nothing was"
               " sent. Get a fresh copy of the flasher.";
    }
    return {};
}

// ---- RunRecord ----------------------------------------------------------------

// What the writer works on. The writer holds it too: a writer still waiting
// for its turn when Finish stops waiting for it keeps what it uses.
struct RunRecord::Book {
    std::string path;
    std::size_t limit = 0;
    std::string header;
    std::vector<std::string> about; // program and flasher, fixed at the start

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable done;
    std::vector<std::string> log;
    std::vector<std::string> ports;
    std::string ending;
    std::string failure;
    bool dirty = false;
    bool stopping = false;
    bool finished = false;  // the writer has ended
    bool abandoned = false; // Finish stopped waiting: nothing more is written

    void Changed() {
        dirty = true;
        wake.notify_one();
    }
    void Fail(const std::string& why) {
        if (failure.empty()) failure = why;
    }
    std::string Compose() const; // under mutex
    void Write(const std::string& run);
    void Writer();
};

RunRecord::RunRecord(std::string path, std::string program,
                     const std::vector<std::string>& command_line, platform::File* flasher,
                     std::size_t limit,
                     std::chrono::milliseconds finish_limit)
    : book_(std::make_shared<Book>()), finish_limit_(finish_limit) {
    Book& b = *book_;
    b.path = std::move(path);
    b.limit = limit;
    b.header = MakeHeader(program);
    const std::string exe = command_line.empty() ? std::string() : command_line[0];
    b.about.push_back("Program      = " + program + " " + platform::ProgramVersion());
    b.about.push_back("Flasher      = " + exe);
    const std::string arguments =
        Join({command_line.begin() + (command_line.empty() ? 0 : 1), command_line.end()});
    b.about.push_back("Arguments    = " + (arguments.empty() ? std::string("(none)") : arguments));
    for (const std::string& line : DescribeFlasher(exe, flasher))
        b.about.push_back(line);
    if (b.path.empty()) {
        b.failure = "no home directory to keep the run record in";
        return;
    }
    b.dirty = true;
    writer_ = std::thread([book = book_] { book->Writer(); });
}

RunRecord::~RunRecord() {
    Finish("the program ended without saying how the run went");
}

void RunRecord::Append(const std::string& entry) {
    const std::string stamp = platform::LocalTimeOfDay(SystemClock::now());
    std::lock_guard lock(book_->mutex);
    book_->log.push_back("  " + stamp + "  " + entry);
    book_->Changed();
}

void RunRecord::Line(const std::string& line) {
    Append(line);
}

void RunRecord::Note(const std::string& text) {
    Append("(" + text + ")");
}

void RunRecord::Trace(const std::string& line) {
    Append("trace " + line);
}

void RunRecord::SetPorts(std::vector<std::string> lines) {
    std::lock_guard lock(book_->mutex);
    if (lines == book_->ports) return;
    book_->ports = std::move(lines);
    book_->Changed();
}

void RunRecord::Finish(const std::string& ending) {
    Book& b = *book_;
    std::unique_lock lock(b.mutex);
    if (b.stopping) return;
    b.stopping = true;
    b.ending = platform::LocalTimeOfDay(SystemClock::now()) + " " + ending;
    b.Changed();
    if (!writer_.joinable()) return;
    // Another flasher that holds the record's lock for good (stopped in a
    // debugger, hung on a network disk) must not keep this one from ending.
    if (!b.done.wait_for(lock, finish_limit_, [&] { return b.finished; })) {
        b.abandoned = true;
        b.Fail("the last write did not end within " + std::to_string(finish_limit_.count()) +
               " ms (another program may hold " + b.path +
               ".lock); the end of this run is not recorded");
        lock.unlock();
        writer_.detach();
        return;
    }
    lock.unlock();
    writer_.join();
}

std::string RunRecord::Failure() const {
    std::lock_guard lock(book_->mutex);
    return book_->failure;
}

const std::string& RunRecord::Path() const {
    return book_->path;
}

std::string RunRecord::Book::Compose() const {
    std::string run = header + "\n";
    for (const auto& line : about)
        run += line + "\n";
    run += "Event log:\n";
    for (const auto& line : log)
        run += line + "\n";
    for (const auto& line : ports)
        run += line + "\n";
    run += "Ended        = " +
           (ending.empty() ? std::string("still running, or stopped before it could say")
                           : ending) +
           "\n\n";
    return run;
}

// Writes whenever something changed, off the window thread: an upload never
// waits for the disk. Changes that come in while a write runs go together
// into the next one.
void RunRecord::Book::Writer() {
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return dirty || stopping; });
        if (!dirty || abandoned) break;
        dirty = false;
        const std::string run = Compose();
        lock.unlock();
        Write(run);
        lock.lock();
    }
    finished = true;
    done.notify_all();
}

void RunRecord::Book::Write(const std::string& run) {
    try {
        const std::string dir = path.substr(0, path.rfind('/'));
        platform::MakeDirectories(dir);
        // Two flashers running at once take turns.
        platform::FileLock turn(path + ".lock");
        {
            // Its turn came after Finish had given up on it: that run has
            // ended, and was told its end is not recorded.
            std::lock_guard lock(mutex);
            if (abandoned) return;
        }
        const std::string merged = MergeRun(platform::ReadWholeFile(path), header, run, limit);
        platform::ReplaceFile(path, merged);
    } catch (const std::exception& e) {
        std::lock_guard lock(mutex);
        Fail(e.what());
    }
}

// ---- RunRecordFrontEnd --------------------------------------------------------

RunRecordFrontEnd::RunRecordFrontEnd(FrontEnd& inner, RunRecord& record,
                                     std::function<void(const std::string&)> report_failure)
    : inner_(inner), record_(record), report_failure_(std::move(report_failure)) {}

void RunRecordFrontEnd::RecordPorts() {
    if (!form_) return;
    MainForm& f = *form_;
    std::vector<std::string> lines{"Ports:"};
    for (int n = 1; n <= MainForm::kPorts; ++n) {
        const std::string device = f.ComPort1().DeviceName(static_cast<std::uint16_t>(n));
        lines.push_back("  COM" + std::to_string(n) + " = " +
                        (device.empty() ? std::string("(no device)") : device) + "  " +
                        (f.Checked(n) ? "[x] " : "[ ] ") + f.EditText(n));
        // Why the row reads so, in the system's words where it gave any.
        if (!f.Fields().PortNote[n].empty()) lines.push_back("    " + f.Fields().PortNote[n]);
    }
    const int port = f.Fields().FlashPort;
    lines.push_back(
        "Port used    = " +
        (port >= 1 && port <= MainForm::kPorts
             ? "COM" + std::to_string(port) + " (" +
                   f.ComPort1().DeviceName(static_cast<std::uint16_t>(port)) + ")"
             : std::string("none")));
    record_.SetPorts(std::move(lines));
}

void RunRecordFrontEnd::CheckFailure() {
    if (reported_) return;
    const std::string failure = record_.Failure();
    if (failure.empty()) return;
    reported_ = true;
    if (report_failure_) report_failure_("run record not written: " + failure);
}

void RunRecordFrontEnd::Finish(const std::string& detail) {
    if (form_) RecordPorts();
    std::string ending = form_ ? DescribeEnding(form_->Outcome()) : std::string("unknown");
    if (!detail.empty()) ending += " " + detail;
    record_.Finish(ending);
    CheckFailure();
}

void RunRecordFrontEnd::ModelChanged() {
    inner_.ModelChanged();
    CheckFailure();
}

void RunRecordFrontEnd::LineLogged(const std::string& line) {
    record_.Line(line);
    RecordPorts();
    inner_.LineLogged(line);
    CheckFailure();
}

void RunRecordFrontEnd::LineTraced(const std::string& line) {
    record_.Trace(line);
    inner_.LineTraced(line);
}

void RunRecordFrontEnd::LogCleared() {
    record_.Note("event log cleared: Start Over");
    inner_.LogCleared();
}

void RunRecordFrontEnd::ShowMessage(const std::string& text, MessageKind kind) {
    record_.Note(std::string(kind == MessageKind::Exception ? "error box: " : "message box: ") +
                 text);
    inner_.ShowMessage(text, kind);
}

void RunRecordFrontEnd::ShowAbout() {
    inner_.ShowAbout();
}

void RunRecordFrontEnd::CloseMainWindow() {
    inner_.CloseMainWindow();
}

} // namespace tollander::app
