#include "serial/protocol.h"

#include "serial/com_port.h"
#include "serial/notice_window.h"
#include "serial/port_table.h"
#include "serial/stall_watch.h"
#include "serial/tick_timer.h"

#include "platform/fs/dos_error.h"
#include "platform/thread/clock.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>

namespace tollander::serial {

int ErrorFromProtocolStatus(std::uint16_t status) {
    switch (status) {
    case psFileRejected:
        return ecFileRejected;
    case psCantWriteFile:
        return ecCantWriteFile;
    case psTimeout:
        return ecFatalTimeout;
    case psProtocolError:
        return ecProtocolError;
    case psCancelRequested:
        return ecTimeout;
    case psSequenceError:
        return ecSequenceError;
    case psAbortNoCarrier:
        return ecCarrierLost;
    default:
        return 0;
    }
}

// ---- The file window ----

int AsciiFileWindow::Open(const std::string& path) {
    if (IsOpen()) return 0;
    if (path.empty()) return ecFileNotFound;
    window_.reset(new (std::nothrow) std::uint8_t[kProtocolBufferSize]);
    if (!window_) return ecOutOfMemory;
    file_ = platform::File::OpenRead(path);
    if (!file_.Valid()) {
        window_.reset();
        return -file_.DosError();
    }
    std::int64_t size = -1;
    try {
        size = file_.Size();
    } catch (const platform::EInOutError&) {
    }
    file_size_ = size < 0 ? 0 : static_cast<std::uint32_t>(std::min<std::int64_t>(size, INT32_MAX));
    window_start_ = window_end_ = data_end_ = 0;
    end_seen_ = filled_ = false;
    return 0;
}

int AsciiFileWindow::ReadBlock(std::uint32_t position, std::uint8_t* out, std::uint16_t n,
                               bool& last) {
    last = false;
    if (position >= file_size_) {
        last = true;
        return 0;
    }
    n = static_cast<std::uint16_t>(std::min<std::size_t>(n, kProtocolBufferSize));
    if (!filled_ || position < window_start_ ||
        position + n > window_start_ + kProtocolBufferSize) {
        // Keep what the window holds from `position` on and read the rest.
        std::uint32_t kept = 0;
        if (position >= window_start_ && position < window_end_) {
            kept = window_end_ - position;
            std::memmove(window_.get(), window_.get() + (position - window_start_), kept);
        }
        window_start_ = position;
        const std::size_t want = kProtocolBufferSize - kept;
        std::size_t got = 0;
        try {
            // Short only at the end of the file.
            got = file_.ReadFull(window_.get() + kept, want);
        } catch (const platform::EInOutError& e) {
            last = true;
            return -platform::DosErrorFromErrno(e.ErrorCode);
        }
        window_end_ = window_start_ + kept + static_cast<std::uint32_t>(got);
        filled_ = true;
        if (got < want) {
            end_seen_ = true;
            data_end_ = window_end_;
            std::memset(window_.get() + kept + got, 26, want - got);
        }
    }
    int count = n;
    if (end_seen_ && position + n >= data_end_) {
        count = static_cast<int>(data_end_ - position);
        last = true;
    }
    std::memcpy(out, window_.get() + (position - window_start_), static_cast<std::size_t>(count));
    return count;
}

void AsciiFileWindow::Close() {
    file_ = platform::File(); // a failed close changes nothing in what was sent
    window_.reset();
    file_size_ = window_start_ = window_end_ = data_end_ = 0;
    end_seen_ = filled_ = false;
}

// ---- The protocol data and its engine ----

namespace {

// What a modem's boot loader says when it takes no more of an upload: its
// time-out for data that stopped coming, its prompt, a refusal.
// Found in what it says in any letter case, as every answer of the modem is.
constexpr std::string_view kModemAnswers[] = {"no rx data timeout", "boot>", "error"};

// A run that the modem's answer or the sender's own stall ended: what the
// modem said since is its verdict, left for the wait that reads it.
bool KeepsInput(int error) {
    return error == ecModemAnswered || error == ecSenderStalled;
}

} // namespace

enum class SendState : std::uint8_t { Start, GetBlock, WaitRoom, SendBlock, Drain, Finish, Done };

struct ProtocolData {
    // Held by every engine call, so the first call and the dispatcher's never
    // overlap; re-entrant because the window thread's own call runs the event
    // handlers inline.
    std::recursive_mutex lock;
    // Set when the object goes away: the engine then hands nothing over.
    std::atomic<bool> closing{false};
    // Read and cleared on the window thread only.
    TCustomProtocol* owner = nullptr;
    std::unique_ptr<NoticeWindow> window;

    RecordIndex port = 0;
    std::atomic<TProtocolType> type{ptNoProtocol};
    std::atomic<std::uint16_t> block_size{128};
    std::atomic<std::uint16_t> block_num{0};
    // Settings: written on the window thread (never under the engine's lock,
    // which an engine waiting for that thread may hold), read by the engine.
    std::atomic<std::int32_t> transmit_timeout{1092};
    std::atomic<std::int32_t> status_interval{18};
    std::atomic<bool> carrier_check{false};

    std::uint16_t status = psOK;
    std::atomic<std::int32_t> error{0};
    std::atomic<std::int32_t> file_size{0}, bytes_transferred{0}, bytes_remaining{0};
    std::int32_t elapsed_ticks = 0;
    TickTimer elapsed;
    std::uint32_t file_date = 0;
    std::string file_path;  // the file runs send; set on the window thread between runs
    std::string file_name;  // the file of this run; written on the window thread only

    TriggerHandle timeout_trigger = 0, status_trigger = 0, room_trigger = 0, count_trigger = 0,
                  modem_trigger = 0;
    // What the modem said during the run: looked at up to this running total
    // of received characters, and the end of it, where an answer may begin.
    std::uint64_t heard_until = 0;
    std::string heard_tail;
    // The run's watch over the sender's own stalls, on this clock (set on the
    // window thread between runs only); started by WatchSender or BeginSend,
    // ended with the run.
    StallClock stall_clock = platform::MonotonicMilliseconds;
    std::unique_ptr<StallWatch> watch;
    // The block waited once for received bytes to be looked at first.
    bool deferred = false;
    std::unique_ptr<std::uint8_t[]> block;
    std::uint16_t block_len = 0;
    // The part of the block already on the line: a write that the modem's
    // bytes cut short goes on from there once they were looked at.
    std::uint16_t block_sent = 0;
    TBlockVerifier verifier; // set on the window thread between runs only
    AsciiFileWindow file;
    std::uint32_t file_pos = 0;
    bool last_block = false, force_status = false;
    SendState state = SendState::Done;
    std::atomic<bool> in_progress{false};
    // The object went away while the engine was busy: the port was let go of
    // then, and what the port may meanwhile hold for a new run is not ours.
    std::atomic<bool> detached{false};

    void Notify(std::uint16_t msg, std::uint32_t wparam) {
        if (closing) return;
        if (msg == kProtocolNoticeFinish)
            window->Post(msg, wparam, 0);
        else
            window->Send(msg, wparam, 0);
    }
    void ReportStatus(std::uint16_t options) { Notify(kProtocolNoticeStatus, options); }
    void Log(std::uint16_t code) { Notify(kProtocolNoticeLog, code); }
    void ReportError(int code) {
        error = code;
        Notify(kProtocolNoticeError, static_cast<std::uint32_t>(code));
    }

    void HandleNotice(std::uint16_t msg, std::uint32_t wparam);
    void NextFile();
    int OpenFile();
    int Run(std::uint16_t msg, TriggerHandle handle);
    bool HeardAnswer();
    bool Stalled() { return watch && watch->TakeLongestStill() > kSenderStallLimit.count(); }
    // False when no thread could be had for the watch.
    bool StartWatch();
    void EndRun(bool announce);
    void Detach();
};

namespace {

// Live protocol data by address: the dispatcher finds the data through the
// record's user-data slot, and only data still registered may be used.
std::mutex registry_mutex;
std::map<const void*, std::weak_ptr<ProtocolData>> registry;

std::shared_ptr<ProtocolData> FindData(const void* key) {
    std::lock_guard guard(registry_mutex);
    auto it = registry.find(key);
    return it == registry.end() ? nullptr : it->second.lock();
}

constexpr int kProtocolSlot = 1;

// The engine as a procedure listener of the port record, on DispatchThread.
void EngineNotice(NoticeWindow*, std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam) {
    const auto index = static_cast<RecordIndex>(lparam >> 16);
    void* slot = nullptr;
    if (GetUserData(index, kProtocolSlot, slot) < 0 || slot == nullptr) return;
    auto data = FindData(slot);
    if (!data) return;
    data->Run(msg, static_cast<TriggerHandle>(wparam & 0xFFFF));
    // The object went away during this call without waiting for it.
    if (data->closing) {
        std::lock_guard guard(data->lock);
        if (data->in_progress) data->EndRun(false);
    }
}

} // namespace

void ProtocolData::HandleNotice(std::uint16_t msg, std::uint32_t wparam) {
    TCustomProtocol* o = owner;
    if (o == nullptr) return;
    // A handler's exception must not unwind the engine in the middle of a run.
    try {
        switch (msg) {
        case kProtocolNoticeStatus:
            if (o->OnProtocolStatus) o->OnProtocolStatus(*o, static_cast<std::uint16_t>(wparam));
            break;
        case kProtocolNoticeLog:
            if (o->OnProtocolLog) o->OnProtocolLog(*o, static_cast<std::uint16_t>(wparam));
            break;
        case kProtocolNoticeNextFile:
            NextFile();
            break;
        case kProtocolNoticeFinish:
            if (o->OnProtocolFinish) o->OnProtocolFinish(*o, static_cast<std::int32_t>(wparam));
            break;
        case kProtocolNoticeError:
            if (o->OnProtocolError) o->OnProtocolError(*o, static_cast<std::int32_t>(wparam));
            break;
        default:
            break;
        }
    } catch (...) {
    }
}

// The file is opened here, by its path as it is written. A path that names
// no file ends the run before the send starts; a file that is there but does
// not open is left to the start of the send, which tries it once more and
// reports why.
void ProtocolData::NextFile() {
    TCustomProtocol* o = owner;
    std::string name;
    if (o->OnProtocolNextFile) {
        o->OnProtocolNextFile(*o, name);
    } else if (file_path.empty()) {
        ReportError(ecNoSearchMask); // no file named
    } else if (file.Open(file_path) == 0) {
        name = file_path;
    } else if (const int missing = platform::LocateFile(file_path); missing < 0) {
        ReportError(missing);
    } else {
        name = file_path;
    }
    file_name = name;
}

int ProtocolData::OpenFile() {
    // Open already unless the next-file step could not open it.
    // UpcaseFileNames is not applied to the name opened: on a case-sensitive
    // file system the upper-cased name is another file, or none.
    const int rc = file.Open(file_name);
    if (rc < 0) {
        ReportError(rc);
        return rc;
    }
    file_size = static_cast<std::int32_t>(file.FileSize());
    bytes_remaining = file_size.load();
    ReportStatus(0);
    file_date = file.FileDate();
    file_pos = 0;
    return 0;
}

// Lets go of the port: no notice of it reaches this engine any more. Record
// operations only, so it needs no engine lock.
void ProtocolData::Detach() {
    RemoveListener(port, nullptr, &EngineNotice);
    void* slot = nullptr;
    if (GetUserData(port, kProtocolSlot, slot) == 0 && slot == this)
        SetUserData(port, kProtocolSlot, nullptr);
}

void ProtocolData::EndRun(bool announce) {
    if (!detached) DeleteTrigger(port, kAvailHandle);
    for (TriggerHandle* h :
         {&timeout_trigger, &status_trigger, &room_trigger, &count_trigger, &modem_trigger}) {
        if (*h != 0) DeleteTrigger(port, *h);
        *h = 0;
    }
    watch.reset();
    if (!detached) Detach();
    // A run may end before its Finish state (no carrier at the start): the
    // file must not stay open into the next run.
    file.Close();
    if (error == 0) error = ErrorFromProtocolStatus(status);
    state = SendState::Done;
    in_progress = false;
    if (announce) Notify(kProtocolNoticeFinish, static_cast<std::uint32_t>(error.load()));
}

bool ProtocolData::StartWatch() {
    if (watch) return true;
    try {
        watch = std::make_unique<StallWatch>(stall_clock);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

// Looks at what the modem said since the last look, without taking it: the
// wait for the verdict after the run reads the same characters.
bool ProtocolData::HeardAnswer() {
    std::string text = heard_tail + PeekInput(port, heard_until);
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    bool heard = false;
    std::size_t longest = 0;
    for (std::string_view answer : kModemAnswers) {
        heard = heard || text.find(answer) != std::string::npos;
        longest = std::max(longest, answer.size());
    }
    // An answer may be split between two looks.
    heard_tail = text.substr(text.size() - std::min(text.size(), longest - 1));
    return heard;
}

int ProtocolData::Run(std::uint16_t msg, TriggerHandle handle) {
    std::lock_guard guard(lock);
    if (state == SendState::Done) return 0;
    int result = 0;
    for (;;) {
        if (msg == kNoticeStatus && handle == modem_trigger) {
            status = psAbortNoCarrier;
            DiscardOutput(port);
            state = SendState::Finish;
            force_status = false;
        }
        if ((msg == kNoticeTimer && handle == status_trigger) || force_status) {
            force_status = false;
            elapsed_ticks = elapsed.Elapsed();
            ReportStatus(0);
            ArmTimerTrigger(port, status_trigger, status_interval, true);
        }

        switch (state) {
        case SendState::Start:
            Log(lfTransmitStart);
            if (OpenFile() == 0) {
                state = SendState::GetBlock;
                ArmTimerTrigger(port, timeout_trigger, transmit_timeout, true);
            } else {
                state = SendState::Finish;
            }
            elapsed.Start(0);
            break;

        case SendState::GetBlock: {
            bool last = false;
            int count = file.ReadBlock(file_pos, block.get(), block_size, last);
            if (count < 0) {
                ReportError(count);
                count = 0;
            }
            last_block = last;
            block_len = static_cast<std::uint16_t>(count);
            block_sent = 0;
            deferred = false;
            // A block that is not the one checked never reaches the line.
            if (error == 0 && count > 0 && verifier &&
                !verifier(file_pos / block_size, block.get(), block_len, last))
                ReportError(ecBlockMismatch);
            if (error == 0 && count > 0) {
                state = SendState::WaitRoom;
                ArmTimerTrigger(port, timeout_trigger, transmit_timeout, true);
                ArmStatusTrigger(port, room_trigger, static_cast<std::uint16_t>(block_size + 1),
                                 true);
            } else {
                state = SendState::Finish;
            }
            break;
        }

        case SendState::WaitRoom:
            if (msg == kNoticeAvail && HeardAnswer()) {
                // The modem gave the upload up before its end: nothing more
                // of the file goes out.
                ReportError(ecModemAnswered);
                state = SendState::Finish;
            } else if (msg == kNoticeStatus && handle == room_trigger)
                state = SendState::SendBlock;
            else if (msg == kNoticeTimer && handle == timeout_trigger) {
                // The rest of the file was never sent: that run has failed.
                ReportError(ecNoOutputRoom);
                state = SendState::Finish;
            }
            break;

        case SendState::SendBlock:
            // Stopped or asleep for longer than the modem may wait: it may be
            // at its prompt now, where the rest of the file would be taken
            // for commands.
            if (Stalled()) {
                ReportError(ecSenderStalled);
                state = SendState::Finish;
                break;
            }
            if (HeardAnswer()) {
                ReportError(ecModemAnswered);
                state = SendState::Finish;
                break;
            }
            // Bytes from the modem still in the driver go first: the
            // dispatcher moves them into the ring, then the room comes again.
            if (!deferred && InputInDriver(port)) {
                deferred = true;
                state = SendState::WaitRoom;
                ArmStatusTrigger(port, room_trigger, static_cast<std::uint16_t>(block_size + 1),
                                 true);
                break;
            }
            // A block the device did not take whole leaves a gap in the file
            // on the line: that run has failed, whatever follows.
            {
                std::uint16_t taken = 0;
                const int rc = WriteBlockListening(port, block.get() + block_sent,
                                                   static_cast<std::uint16_t>(block_len - block_sent),
                                                   taken);
                block_sent = static_cast<std::uint16_t>(block_sent + taken);
                if (rc < 0) {
                    // A write gives the rest of its block up when the sender
                    // stood still in it.
                    ReportError(Stalled() ? ecSenderStalled : rc);
                    state = SendState::Finish;
                    break;
                }
            }
            if (block_sent < block_len) {
                // The modem spoke while the line held the rest back (CTS
                // low): the dispatcher moves what it said into the ring, and
                // the rest goes only when that was no answer.
                state = SendState::WaitRoom;
                ArmStatusTrigger(port, room_trigger,
                                 static_cast<std::uint16_t>(block_len - block_sent + 1), true);
                break;
            }
            bytes_transferred += block_len;
            bytes_remaining -= block_len;
            ++block_num;
            file_pos += block_size;
            if (last_block) {
                state = SendState::Drain;
                ArmTimerTrigger(port, timeout_trigger, transmit_timeout, true);
                ArmStatusTrigger(port, count_trigger, 0, true);
            } else {
                state = SendState::GetBlock;
            }
            elapsed_ticks = elapsed.Elapsed();
            force_status = true;
            break;

        case SendState::Drain:
            if (msg == kNoticeStatus && handle == count_trigger) {
                status = psEndFile;
                state = SendState::Finish;
            } else if (msg == kNoticeTimer && handle == timeout_trigger) {
                ReportError(ecFatalTimeout);
                state = SendState::Finish;
            }
            break;

        case SendState::Finish:
            if (error != 0 && !KeepsInput(error)) DiscardInput(port);
            // What the line still holds of a file the modem gave up on (or
            // may have) must not reach its prompt.
            if (KeepsInput(error)) DiscardOutput(port);
            file.Close();
            // A carrier loss has no error yet; it is no good end either.
            Log(error == 0 && ErrorFromProtocolStatus(status) == 0 ? lfTransmitOk : lfTransmitFail);
            ReportStatus(kStatusLast);
            EndRun(true);
            result = 1;
            break;

        case SendState::Done:
            break;
        }

        // A notice is acted on once.
        msg = 0;
        handle = 0;
        if (state == SendState::WaitRoom || state == SendState::Drain || state == SendState::Done)
            break;
    }
    return result;
}

// ---- The object ----
//
// Setters and getters run on the window thread and never take the engine's
// lock: an event handler that calls them runs while the engine waits for it.

TCustomProtocol::TCustomProtocol(platform::WindowThread& window, TCustomComPort* port)
    : window_(window), com_port_(port), data_(std::make_shared<ProtocolData>()) {
    data_->owner = this;
    std::weak_ptr<ProtocolData> weak = data_;
    data_->window = std::make_unique<NoticeWindow>(
        window_, kProtocolNoticeWindowClass,
        [weak](std::uint16_t msg, std::uint32_t wparam, std::uint32_t) {
            if (auto d = weak.lock()) d->HandleNotice(msg, wparam);
        });
    std::lock_guard guard(registry_mutex);
    registry[data_.get()] = data_;
}

TCustomProtocol::~TCustomProtocol() {
    {
        std::lock_guard guard(registry_mutex);
        registry.erase(data_.get());
    }
    data_->closing = true;
    data_->owner = nullptr;
    // Nothing of the engine reaches the window thread from now on.
    data_->window->Close();
    // An engine call in progress may be in a write that flow control holds
    // up: it is not waited for. With `closing` set it ends the run itself
    // when it returns.
    std::unique_lock guard(data_->lock, std::try_to_lock);
    if (!guard.owns_lock()) {
        // Its listener goes now, before a new run on the port can begin.
        if (data_->in_progress) {
            data_->Detach();
            data_->detached = true;
        }
    } else if (data_->in_progress) {
        data_->EndRun(false);
    }
}

TProtocolType TCustomProtocol::ProtocolType() const {
    return data_->type;
}

void TCustomProtocol::SetProtocolType(TProtocolType type) {
    auto& d = *data_;
    if (type == d.type) return;
    // The engine of a run in progress uses the block buffer. Between runs the
    // engine touches nothing, and runs start on this thread.
    if (d.in_progress) RaiseCommError(ecBadArgument);
    d.block.reset();
    if (type == ptAscii) {
        d.block.reset(new (std::nothrow) std::uint8_t[kProtocolBufferSize]);
        if (!d.block) RaiseCommError(ecOutOfMemory);
        d.block_size = kSendBlockSize;
    }
    d.type = type;
}

const std::string& TCustomProtocol::FileName() const {
    return data_->file_path;
}

void TCustomProtocol::SetFileName(const std::string& path) {
    // The run in progress opened its file already; runs start on this thread.
    data_->file_path = path;
}

void TCustomProtocol::SetBlockVerifier(TBlockVerifier verifier) {
    // The engine of a run in progress calls it; runs start on this thread.
    if (data_->in_progress) RaiseCommError(ecBadArgument);
    data_->verifier = std::move(verifier);
}

void TCustomProtocol::SetStallClock(StallClock clock) {
    if (data_->in_progress) RaiseCommError(ecBadArgument);
    data_->stall_clock = clock ? std::move(clock) : StallClock(platform::MonotonicMilliseconds);
}

void TCustomProtocol::WatchSender() {
    auto& d = *data_;
    if (d.in_progress) RaiseCommError(ecBadArgument);
    std::lock_guard guard(d.lock);
    // Without a thread the run's own start reports it.
    d.StartWatch();
}

void TCustomProtocol::SetTransmitTimeout(std::uint16_t ticks) {
    transmit_timeout_ = ticks;
    data_->transmit_timeout = ticks;
}

void TCustomProtocol::SetStatusInterval(std::uint16_t ticks) {
    status_interval_ = ticks;
    data_->status_interval = ticks;
}

void TCustomProtocol::SetAbortNoCarrier(bool on) {
    abort_no_carrier_ = on;
    data_->carrier_check = on;
}

std::uint16_t TCustomProtocol::BlockSize() const {
    return data_->block_size;
}
std::uint16_t TCustomProtocol::BlockNum() const {
    return data_->block_num;
}
std::int32_t TCustomProtocol::BytesTransferred() const {
    return data_->bytes_transferred;
}
std::int32_t TCustomProtocol::BytesRemaining() const {
    return data_->bytes_remaining;
}
std::int32_t TCustomProtocol::FileLength() const {
    return data_->file_size;
}
bool TCustomProtocol::InProgress() const {
    return data_->in_progress;
}

void TCustomProtocol::BeginSend() {
    auto& d = *data_;
    if (d.type == ptNoProtocol) return;
    if (d.type != ptAscii) RaiseCommError(ecNotSupported);
    if (com_port_ == nullptr) RaiseCommError(ecPortNotAssigned);
    const RecordIndex index = com_port_->ActivePort();

    std::lock_guard guard(d.lock);
    if (d.in_progress) {
        void* slot = nullptr;
        if (index == d.port && GetUserData(index, kProtocolSlot, slot) == 0 && slot == &d)
            return; // one run at a time
        // The port was closed under the run, which can never end by itself now.
        d.EndRun(false);
    }
    d.port = index;
    d.in_progress = true;
    d.state = SendState::Start;
    d.status = psOK;
    d.error = 0;

    // The run's triggers; the avail level counts as the sixth.
    int rc = SetAvailLevel(index, 1);
    auto make = [&](TriggerHandle& handle, int result) {
        if (rc >= 0 && result > 0)
            handle = static_cast<TriggerHandle>(result);
        else if (rc >= 0)
            rc = result < 0 ? result : ecNoMoreTriggers;
    };
    if (rc >= 0) make(d.timeout_trigger, NewTimerTrigger(index));
    if (rc >= 0) make(d.status_trigger, NewTimerTrigger(index));
    if (rc >= 0) make(d.room_trigger, NewStatusTrigger(index, kStatusOutRoom));
    if (rc >= 0) make(d.count_trigger, NewStatusTrigger(index, kStatusOutCount));
    if (rc >= 0) make(d.modem_trigger, NewStatusTrigger(index, kStatusModem));
    if (rc < 0) {
        d.error = ecNoMoreTriggers;
        d.EndRun(true);
        return;
    }

    SetUserData(index, kProtocolSlot, &d);
    d.block_num = 0;
    d.bytes_transferred = 0;
    d.elapsed_ticks = 0;
    d.file_size = 0;
    d.bytes_remaining = 0;
    d.ReportStatus(kStatusFirst);
    d.file.Close();
    d.file_name.clear();
    d.Notify(kProtocolNoticeNextFile, 0);
    if (d.file_name.empty()) {
        d.ReportStatus(kStatusLast);
        d.EndRun(true);
        return;
    }
    d.error = 0;
    d.last_block = false;
    d.force_status = true;
    // Kept when WatchSender started it: a stall since then counts.
    if (!d.StartWatch()) {
        d.error = ecOutOfMemory; // no thread for the watch
        d.EndRun(true);
        return;
    }
    // What the modem said and nobody has read yet counts too: it came after
    // the go-ahead for this file.
    d.heard_until = 0;
    d.heard_tail.clear();

    // The listener goes in before the first engine call arms the output-room
    // trigger, so that trigger can never fire with nobody listening; the lock
    // held here keeps the dispatcher's calls waiting until this one is done.
    if (const int added = AddListener(index, nullptr, &EngineNotice, 1); added < 0) {
        d.error = added;
        d.EndRun(true);
        return;
    }
    d.Run(0, 0);
    if (d.state == SendState::Done) return;
    ArmTimerTrigger(index, d.status_trigger, d.status_interval, true);
    if (d.carrier_check) {
        if ((ReadModemStatus(index, 0xFF) & platform::kLineCarrier) == 0) {
            d.error = ecCarrierLost;
            d.EndRun(true);
            return;
        }
        ArmStatusTrigger(index, d.modem_trigger, platform::kLineCarrier, true);
    }
}

} // namespace tollander::serial
