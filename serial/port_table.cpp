// The port table: the registry of up to 50 port records and the record
// operations of port_table.h. Each operation finds its record by index, takes
// the record's `lock` for its whole work (and `state` for what it shares with
// the dispatcher, see serial/port_record.h), and hands the trigger tables'
// part to serial/triggers and the threads' part to serial/dispatcher.
//
// Locking: the registry has a mutex of its own, held only to find, take or
// free a slot. Two operations release `lock` where others must go on: a
// write (the device may hold it for up to its write limit; writes are
// serialised by the record's `writing` flag instead) and a close, which
// never waits for a write nor for a notice that may be waiting for the
// caller: the record is then freed by its DispatchThread.
#include "serial/port_table.h"

#include "serial/dispatcher.h"
#include "serial/port_record.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace tollander::serial {

using platform::DeviceStatus;
using platform::LineControl;
using platform::LineSettings;
using platform::Millis;

namespace {

class Table {
public:
    ~Table() {
        // Records left open at exit: stop their threads before they are freed.
        // One closed inside a notice is freed by its own thread; wait for it.
        std::vector<RecordPtr> live;
        {
            std::lock_guard lock(mutex_);
            for (auto& slot : slots_)
                if (slot) live.push_back(slot);
        }
        for (auto& rec : live) {
            if (rec->close_pending)
                WaitFreed(rec->index, Millis(3000));
            else
                StopThreads(*rec);
        }
        Reap();
    }

    RecordPtr Find(RecordIndex index) {
        std::lock_guard lock(mutex_);
        if (index < 1 || index > kMaxPortRecords) return nullptr;
        return slots_[index];
    }

    // The lowest free slot, taken by `rec`; 0 when none is free.
    RecordIndex Take(const RecordPtr& rec) {
        std::lock_guard lock(mutex_);
        for (RecordIndex i = 1; i <= kMaxPortRecords; ++i) {
            if (!slots_[i]) {
                slots_[i] = rec;
                rec->index = i;
                return i;
            }
        }
        return 0;
    }

    void Free(RecordIndex index) {
        std::lock_guard lock(mutex_);
        slots_[index].reset();
        freed_.notify_all();
    }

    // A thread that frees its own record parks itself to be joined, in the
    // same step: once the slot is free, the thread can be reaped.
    void FreeAndBury(RecordIndex index, std::thread self) {
        std::lock_guard lock(mutex_);
        slots_[index].reset();
        graveyard_.push_back(std::move(self));
        freed_.notify_all();
    }

    void Reap() {
        std::vector<std::thread> dead;
        {
            std::lock_guard lock(mutex_);
            dead.swap(graveyard_);
        }
        for (auto& t : dead)
            if (t.joinable()) t.join();
    }

    bool WaitFreed(RecordIndex index, Millis limit) {
        std::unique_lock lock(mutex_);
        const bool freed = freed_.wait_for(
            lock, limit, [&] { return index < 1 || index > kMaxPortRecords || !slots_[index]; });
        lock.unlock();
        Reap();
        return freed;
    }

private:
    std::mutex mutex_;
    std::condition_variable freed_;
    RecordPtr slots_[kMaxPortRecords + 1];
    std::vector<std::thread> graveyard_;
};

Table& PortTableInstance() {
    static Table table;
    return table;
}


} // namespace

RecordPtr Find(RecordIndex index) {
    return PortTableInstance().Find(index);
}

void FreeAndBury(RecordIndex index, std::thread self) {
    PortTableInstance().FreeAndBury(index, std::move(self));
}

// ---------------------------------------------------------------------------
// Device helpers (callers hold what they need; none waits for long).

void AccumulateStatus(Record& rec, const DeviceStatus& st) {
    std::lock_guard guard(rec.state);
    rec.snapshot = st;
    rec.line_errors |= st.errors;
}

void RefreshStatus(Record& rec) {
    DeviceStatus st;
    if (rec.dev->status(st) == 0) AccumulateStatus(rec, st);
}

int CurrentOutputCount(Record& rec) {
    DeviceStatus st;
    if (rec.dev->status(st) != 0) return 0;
    AccumulateStatus(rec, st);
    return static_cast<int>(st.out_queue);
}

namespace {

int CurrentOutputRoom(Record& rec) {
    return std::max(0, rec.out_size - CurrentOutputCount(rec));
}

} // namespace

std::uint8_t RefreshModemStatus(Record& rec, std::uint8_t keep_mask) {
    std::uint8_t lines = 0;
    rec.dev->modem_lines(lines);
    std::lock_guard guard(rec.state);
    std::uint8_t ms = static_cast<std::uint8_t>((rec.modem_status & 0x0F) | (lines & 0xF0));
    if (rec.ring_trailing_edge.exchange(false)) ms |= 4;
    rec.modem_status = ms & keep_mask;
    return ms;
}

namespace {

// Writes the settings block, with a lowered line forcing its control mode off.
int WriteSettings(Record& rec, LineSettings s) {
    if (!rec.dtr) s.dtr_control = LineControl::disabled;
    if (!rec.rts) s.rts_control = LineControl::disabled;
    if (rec.dev->write_settings(s) != 0) return ecNotSupported;
    std::lock_guard guard(rec.state);
    rec.settings = s;
    return 0;
}

int ReadSettings(Record& rec, LineSettings& s) {
    {
        std::lock_guard guard(rec.state);
        s = rec.settings;
    }
    LineSettings fresh = s;
    if (rec.dev->read_settings(fresh) != 0) return ecNotSupported;
    // The device knows the line; the record keeps the advisory parts.
    s.baud = fresh.baud;
    s.data_bits = fresh.data_bits;
    s.parity = fresh.parity;
    s.stop_bits = fresh.stop_bits;
    return 0;
}

void FreeRecord(Record& rec) {
    {
        std::lock_guard guard(rec.state);
        rec.listeners.clear();
    }
    { std::lock_guard lock(rec.input_mutex); }
    rec.input_cv.notify_all();
    PortTableInstance().Free(rec.index);
}

} // namespace

DeviceLayer PlatformDeviceLayer() {
    return [] { return platform::MakeSerialDevice(); };
}

// ---------------------------------------------------------------------------
// Opening and closing.

int OpenPortRecord(const std::string& device_name, const PortSettings& settings,
                   const DeviceLayer& layer, std::string* os_reason,
                   platform::DeviceFault* os_fault) {
    auto& table = PortTableInstance();
    table.Reap();
    RecordPtr rec;
    try {
        rec = std::make_shared<Record>();
        rec->dev = layer ? layer() : platform::MakeSerialDevice();
    } catch (const std::bad_alloc&) {
        return ecOutOfMemory;
    }
    if (!rec->dev) return ecNullApi;
    const RecordIndex index = table.Take(rec);
    if (index == 0) return ecNoHandles;
    auto fail = [&](int code) {
        if (os_reason) *os_reason = rec->dev->last_error_text();
        if (os_fault) *os_fault = rec->dev->last_fault();
        rec->dev->close();
        table.Free(index);
        return code;
    };
    if (int r = rec->dev->open(device_name); r != 0) return fail(r);
    if (int r = rec->dev->set_queue_sizes(settings.in_size, settings.out_size); r != 0)
        return fail(r);
    rec->in_size = settings.in_size;
    rec->out_size = settings.out_size;
    {
        LineSettings s;
        if (rec->dev->read_settings(s) != 0) return fail(ecNotSupported);
        rec->settings = s;
    }
    rec->dev->line_function(platform::LineFunction::set_dtr);
    rec->dev->line_function(platform::LineFunction::set_rts);
    rec->dev->set_write_timeout(20000);
    RefreshModemStatus(*rec, 0xF0);
    rec->dev->set_event_mask(platform::kEvDefaultMask);
    if (int r = SetLineParams(index, settings.line); r != 0) return fail(r);
    RefreshStatus(*rec);
    if (!StartThreads(rec)) return fail(ecOutOfMemory);
    return index;
}

namespace {

// A notice being delivered may be waiting for the caller: the dispatcher
// itself (a procedure listener) or a window thread that has yet to run the
// notice. (Under rec.state.)
bool DeliveryWaitsOnCaller(const Record& rec) {
    if (std::this_thread::get_id() == rec.dispatch_thread.get_id()) return true;
    for (const auto& node : rec.listeners)
        if (node.thread && node.thread->on_window_thread()) return true;
    return false;
}

} // namespace

int ClosePortRecord(RecordIndex index) {
    auto rec = Find(index);
    if (!rec) return ecBadHandle;
    {
        std::unique_lock lock(rec->lock);
        std::unique_lock guard(rec->state);
        if (rec->closing) return 0;
        rec->closing = true; // no notice and no write begins from now on
        if (rec->delivering && !rec->writing && !DeliveryWaitsOnCaller(*rec)) {
            // A procedure listener at work, which may need the record's lock:
            // waited for until it ends or begins a write, which nobody waits for.
            lock.unlock();
            rec->delivered.wait(guard, [&] { return !rec->delivering || rec->writing; });
            guard.unlock();
            lock.lock();
            guard.lock();
        }
        // Pending output is discarded, not sent.
        rec->dev->purge(platform::PurgeQueue::output);
        // A write in progress keeps the device until it ends (at most the
        // write limit); its writer closes it then. Nobody waits for it here.
        if (!rec->writing) rec->dev->close();
        if (rec->delivering || rec->writing) {
            // The notice or the write may be waiting for the caller, or run
            // long: DispatchThread frees the record when it is over.
            rec->close_pending = true;
            return 0;
        }
    }
    // Not under the lock: the threads may need it to finish their pass.
    StopThreads(*rec);
    FreeRecord(*rec);
    return 0;
}

bool PortRecordLive(RecordIndex index) {
    return Find(index) != nullptr;
}

bool WaitPortRecordFreed(RecordIndex index, Millis limit) {
    return PortTableInstance().WaitFreed(index, limit);
}

// ---------------------------------------------------------------------------
// Line settings and lines.

#define WITH_RECORD(index, fail)                                                                   \
    auto rec = Find(index);                                                                        \
    if (!rec) return fail;                                                                         \
    std::lock_guard record_lock(rec->lock)

int SetLineParams(RecordIndex index, const LineParams& params) {
    WITH_RECORD(index, ecBadHandle);
    LineSettings s;
    if (ReadSettings(*rec, s) != 0) return ecNotSupported;
    if (params.baud && *params.baud != 0) s.baud = *params.baud;
    if (params.parity && *params.parity != 5) s.parity = *params.parity;
    if (params.data_bits && *params.data_bits != 9)
        s.data_bits = static_cast<std::uint8_t>(*params.data_bits);
    if (params.stop_bits && *params.stop_bits != 3) {
        const std::uint16_t stop_bits = *params.stop_bits > 3 ? 2 : *params.stop_bits;
        s.stop_bits = stop_bits <= 1 ? 0 : 2;
    }
    return WriteSettings(*rec, s);
}

int SetHardwareFlow(RecordIndex index, std::uint16_t full, std::uint16_t resume,
                    std::uint16_t options) {
    WITH_RECORD(index, ecBadHandle);
    if (resume > full || full > rec->in_size) return ecBadArgument;
    LineSettings s;
    if (ReadSettings(*rec, s) != 0) return ecNotSupported;
    if (options & (kHwUseDtr | kHwUseRts)) {
        s.dtr_control = (options & kHwUseDtr) ? LineControl::handshake : LineControl::disabled;
        s.rts_control = (options & kHwUseRts) ? LineControl::handshake : LineControl::disabled;
        s.xoff_lim = static_cast<std::uint16_t>(rec->in_size - full);
        s.xon_lim = resume;
    }
    if (options & (kHwRequireDsr | kHwRequireCts)) {
        s.out_dsr_flow = options & kHwRequireDsr;
        s.out_cts_flow = options & kHwRequireCts;
    }
    return WriteSettings(*rec, s);
}

int ClearHardwareFlow(RecordIndex index) {
    WITH_RECORD(index, ecBadHandle);
    LineSettings s;
    if (ReadSettings(*rec, s) != 0) return ecNotSupported;
    s.dtr_control = LineControl::enabled;
    s.rts_control = LineControl::enabled;
    s.out_cts_flow = false;
    s.out_dsr_flow = false;
    return WriteSettings(*rec, s);
}

int SetSoftwareFlow(RecordIndex index, std::uint16_t full, std::uint16_t resume,
                    std::uint16_t options) {
    WITH_RECORD(index, ecBadHandle);
    if (resume > full || full > rec->in_size) return ecBadArgument;
    LineSettings s;
    if (ReadSettings(*rec, s) != 0) return ecNotSupported;
    if (options & kSwReceive) {
        s.in_x = true;
        s.xoff_lim = static_cast<std::uint16_t>(rec->in_size - full);
        s.xon_lim = resume;
    }
    if (options & kSwTransmit) s.out_x = true;
    if (options & (kSwReceive | kSwTransmit)) {
        s.xon_char = 17;
        s.xoff_char = 19;
    }
    return WriteSettings(*rec, s);
}

int ClearSoftwareFlow(RecordIndex index) {
    WITH_RECORD(index, ecBadHandle);
    LineSettings s;
    if (ReadSettings(*rec, s) != 0) return ecNotSupported;
    s.in_x = false;
    s.out_x = false;
    return WriteSettings(*rec, s);
}

int SetFlowChars(RecordIndex index, char xon, char xoff) {
    WITH_RECORD(index, ecBadHandle);
    LineSettings s;
    if (ReadSettings(*rec, s) != 0) return ecNotSupported;
    s.xon_char = xon;
    s.xoff_char = xoff;
    return WriteSettings(*rec, s);
}

int SetQueueSizes(RecordIndex index, std::uint16_t in_size, std::uint16_t out_size) {
    WITH_RECORD(index, ecBadHandle);
    if (int r = rec->dev->set_queue_sizes(in_size, out_size); r != 0) return r;
    rec->in_size = in_size;
    rec->out_size = out_size;
    return 0;
}

int SetDtrLine(RecordIndex index, bool on) {
    WITH_RECORD(index, ecBadHandle);
    const int r = rec->dev->line_function(on ? platform::LineFunction::set_dtr
                                             : platform::LineFunction::clear_dtr);
    std::lock_guard guard(rec->state);
    rec->dtr = on;
    return r < 0 ? ecNotSupported : 0;
}

int SetRtsLine(RecordIndex index, bool on) {
    WITH_RECORD(index, ecBadHandle);
    const int r = rec->dev->line_function(on ? platform::LineFunction::set_rts
                                             : platform::LineFunction::clear_rts);
    std::lock_guard guard(rec->state);
    rec->rts = on;
    return r < 0 ? ecNotSupported : 0;
}

int GetLineSettings(RecordIndex index, LineSettings& settings) {
    WITH_RECORD(index, ecBadHandle);
    std::lock_guard guard(rec->state);
    settings = rec->settings;
    return 0;
}

bool DtrState(RecordIndex index) {
    WITH_RECORD(index, false);
    std::lock_guard guard(rec->state);
    return rec->dtr;
}

bool RtsState(RecordIndex index) {
    WITH_RECORD(index, false);
    std::lock_guard guard(rec->state);
    return rec->rts;
}

std::uint8_t ReadModemStatus(RecordIndex index, std::uint8_t keep_mask) {
    WITH_RECORD(index, 0);
    return RefreshModemStatus(*rec, keep_mask);
}

std::uint16_t GetLineErrors(RecordIndex index) {
    WITH_RECORD(index, 0);
    std::lock_guard guard(rec->state);
    return rec->line_errors;
}

int ClearLineErrors(RecordIndex index, std::uint16_t bits) {
    WITH_RECORD(index, ecBadHandle);
    std::lock_guard guard(rec->state);
    rec->line_errors &= static_cast<std::uint16_t>(~bits);
    return 0;
}

// ---------------------------------------------------------------------------
// Output.

namespace {

// WriteBlock, listening (WriteBlockListening) or not.
int PutBlock(RecordIndex index, const std::uint8_t* bytes, std::uint16_t count, bool listen,
             std::uint16_t& taken) {
    taken = 0;
    if (count == 0) return Find(index) ? 0 : ecBadHandle;
    auto rec = Find(index);
    if (!rec) return ecBadHandle;
    {
        std::lock_guard record_lock(rec->lock);
        if (CurrentOutputRoom(*rec) < count) return ecOutputBufferTooSmall;
        std::lock_guard guard(rec->state);
        if (rec->closing) return ecBadHandle;
        // One write at a time; a second one finds the output queue taken
        // rather than waiting behind a write that flow control holds up.
        if (rec->writing) return ecOutputBufferTooSmall;
        rec->writing = true;
        rec->delivered.notify_all(); // a close waiting for the notice goes on
        // Bytes the ring cannot take would end every wait at once.
        listen = listen && !rec->ring.Full();
    }
    // Not under the record's lock: a modem that holds CTS low keeps this
    // write for up to the device's write limit, and nobody else waits for it.
    bool heard = false;
    const int written =
        listen ? rec->dev->write_listening(bytes, count, heard) : rec->dev->write(bytes, count);
    taken = static_cast<std::uint16_t>(written < 0 ? -written : written);
    std::string failure =
        written == count || heard ? std::string() : rec->dev->last_error_text();
    bool watched;
    bool closed;
    {
        std::lock_guard guard(rec->state);
        rec->writing = false;
        rec->last_written = written;
        if (written != count) rec->write_failure = std::move(failure);
        rec->output_sent = true;
        watched = rec->triggers.OutputArmed();
        closed = rec->closing;
    }
    if (closed) {
        // Closed under the write: the close left the device to us, and what
        // the queue still held was discarded.
        rec->dev->purge(platform::PurgeQueue::output);
        rec->dev->close();
        return ecPutBlockFail;
    }
    if (watched) WakeUntimedWait(*rec);
    if (heard) return 0;
    if (written <= 0) {
        RefreshStatus(*rec);
        return ecPutBlockFail;
    }
    return 0;
}

} // namespace

int WriteBlock(RecordIndex index, const std::uint8_t* bytes, std::uint16_t count) {
    std::uint16_t taken = 0;
    return PutBlock(index, bytes, count, false, taken);
}

int WriteBlockListening(RecordIndex index, const std::uint8_t* bytes, std::uint16_t count,
                        std::uint16_t& taken) {
    return PutBlock(index, bytes, count, true, taken);
}

std::string WriteFailure(RecordIndex index) {
    WITH_RECORD(index, {});
    std::lock_guard guard(rec->state);
    return rec->write_failure;
}

std::string LineClosure(RecordIndex index) {
    WITH_RECORD(index, {});
    if (rec->dev->last_fault() != platform::DeviceFault::Closed) return {};
    return rec->dev->last_error_text();
}

int WriteByte(RecordIndex index, std::uint8_t byte) {
    return WriteBlock(index, &byte, 1);
}

int OutputCount(RecordIndex index) {
    WITH_RECORD(index, 0);
    return CurrentOutputCount(*rec);
}

int OutputRoom(RecordIndex index) {
    WITH_RECORD(index, 0);
    return CurrentOutputRoom(*rec);
}

int DiscardOutput(RecordIndex index) {
    WITH_RECORD(index, ecBadHandle);
    return rec->dev->purge(platform::PurgeQueue::output);
}

// ---------------------------------------------------------------------------
// Input.

int ReadChars(RecordIndex index, std::uint16_t count, std::string& text) {
    WITH_RECORD(index, ecBadHandle);
    std::lock_guard guard(rec->state);
    const std::size_t waiting = rec->ring.Count();
    const bool peeking = rec->peek && !(rec->options & kOptionNoPeek);
    const std::size_t from = peeking ? std::min(rec->read_count, waiting) : 0;
    const std::size_t n = std::min<std::size_t>(count, waiting - from);
    text.reserve(text.size() + n);
    for (std::size_t i = 0; i < n; ++i)
        text += static_cast<char>(rec->ring.Peek(from + i));
    if (peeking) {
        rec->read_count += n;
    } else if (n > 0) {
        rec->ring.Drop(n);
        rec->taken_directly = true;
    }
    return n < count ? ecBufferIsEmpty : 0;
}

int ReadChar(RecordIndex index, char& ch) {
    std::string text;
    const int r = ReadChars(index, 1, text);
    if (r == 0) ch = text[0];
    return r;
}

bool InputWaiting(RecordIndex index) {
    return InputCount(index) > 0;
}

std::string PeekInput(RecordIndex index, std::uint64_t& from) {
    WITH_RECORD(index, {});
    std::lock_guard guard(rec->state);
    std::string text;
    const std::uint64_t end = rec->ring.Written();
    for (std::uint64_t at = std::max(from, rec->ring.Taken()); at < end; ++at)
        text += static_cast<char>(rec->ring.AtTotal(at));
    from = end;
    return text;
}

bool InputInDriver(RecordIndex index) {
    WITH_RECORD(index, false);
    DeviceStatus st;
    if (rec->dev->status(st) != 0) return false;
    AccumulateStatus(*rec, st);
    return st.in_queue > 0;
}

int InputCount(RecordIndex index) {
    WITH_RECORD(index, 0);
    std::lock_guard guard(rec->state);
    return static_cast<int>(InputCountLocked(*rec));
}

int InputRoom(RecordIndex index) {
    WITH_RECORD(index, 0);
    std::lock_guard guard(rec->state);
    return static_cast<int>(InputRing::kSize - InputCountLocked(*rec));
}

int DiscardInput(RecordIndex index) {
    WITH_RECORD(index, ecBadHandle);
    rec->dev->purge(platform::PurgeQueue::input);
    std::lock_guard guard(rec->state);
    if (rec->peek)
        rec->read_count = rec->ring.Count(); // removed when the notice is over
    else {
        rec->ring.Clear();
        rec->read_count = 0;
        rec->taken_directly = true;
    }
    rec->triggers.ClearMatchState();
    return 0;
}

bool WaitForInput(RecordIndex index, Millis max) {
    auto rec = Find(index);
    if (!rec) return false;
    std::unique_lock lock(rec->input_mutex);
    rec->input_cv.wait_for(lock, max, [&] { return rec->ring.Count() > 0 || rec->kill; });
    return rec->ring.Count() > 0;
}

bool WaitNoticeDelivered(RecordIndex index, Millis max) {
    auto rec = Find(index);
    if (!rec) return true;
    std::unique_lock guard(rec->state);
    return rec->delivered.wait_for(guard, max, [&] { return !rec->delivering; });
}

// ---------------------------------------------------------------------------
// Triggers.

#define WITH_STATE(index, fail)                                                                    \
    WITH_RECORD(index, fail);                                                                      \
    std::lock_guard state_guard(rec->state)

int SetAvailLevel(RecordIndex index, std::uint16_t level) {
    WITH_STATE(index, ecBadHandle);
    rec->triggers.avail_level = level;
    return 0;
}

std::uint16_t GetAvailLevel(RecordIndex index) {
    WITH_STATE(index, 0);
    return rec->triggers.avail_level;
}

int NewDataTrigger(RecordIndex index, const char* text, bool ignore_case, std::uint16_t length) {
    WITH_STATE(index, ecBadHandle);
    return rec->triggers.NewData(text, ignore_case, length);
}

int NewTimerTrigger(RecordIndex index) {
    WITH_STATE(index, ecBadHandle);
    return rec->triggers.NewTimer();
}

int NewStatusTrigger(RecordIndex index, std::uint16_t kind) {
    WITH_STATE(index, ecBadHandle);
    return rec->triggers.NewStatus(kind);
}

int ArmTimerTrigger(RecordIndex index, TriggerHandle handle, std::int32_t ticks, bool on) {
    WITH_STATE(index, ecBadHandle);
    return rec->triggers.ArmTimer(handle, ticks, on);
}

int ArmStatusTrigger(RecordIndex index, TriggerHandle handle, std::uint16_t value, bool on) {
    WITH_STATE(index, ecBadHandle);
    const int r = rec->triggers.ArmStatus(handle, value, on, rec->modem_status);
    if (r == 0 && on && rec->triggers.IsOutputTrigger(handle)) WakeUntimedWait(*rec);
    return r;
}

int DeleteTrigger(RecordIndex index, TriggerHandle handle) {
    WITH_STATE(index, ecBadHandle);
    rec->triggers.Delete(handle);
    return 0;
}

std::uint16_t StatusTriggerKind(RecordIndex index, TriggerHandle handle) {
    WITH_STATE(index, 0);
    return rec->triggers.StatusKind(handle);
}

int ClearTriggers(RecordIndex index) {
    WITH_STATE(index, ecBadHandle);
    rec->triggers.Clear();
    return 0;
}

int SaveTriggers(RecordIndex index, TriggerImage& image) {
    WITH_STATE(index, ecBadHandle);
    rec->triggers.Save(image);
    return 0;
}

int RestoreTriggers(RecordIndex index, const TriggerImage& image) {
    WITH_STATE(index, ecBadHandle);
    rec->triggers.Restore(image);
    return 0;
}

// ---------------------------------------------------------------------------
// Listeners and notices.

int AddListener(RecordIndex index, NoticeWindow* window, NoticeProc proc, std::uint32_t pass_on) {
    WITH_STATE(index, ecBadHandle);
    try {
        Listener node;
        node.window = window;
        node.proc = window ? nullptr : proc;
        if (window) {
            node.send = window->Sender();
            node.thread = &window->Thread();
        }
        node.pass_on = pass_on;
        rec->listeners.push_front(std::move(node));
    } catch (const std::bad_alloc&) {
        return ecOutOfMemory;
    }
    return 0;
}

int RemoveListener(RecordIndex index, NoticeWindow* window, NoticeProc proc) {
    WITH_STATE(index, ecBadHandle);
    for (auto it = rec->listeners.begin(); it != rec->listeners.end(); ++it) {
        if (it->deleted) continue;
        const bool match = window ? it->window == window : (proc && it->proc == proc);
        if (!match) continue;
        // A walk in progress keeps its place; the node goes when it is over.
        if (rec->delivering) {
            it->deleted = true;
            rec->list_dirty = true;
        } else {
            rec->listeners.erase(it);
        }
        break;
    }
    return 0;
}

int SuspendNotices(RecordIndex index, bool on, bool& previous) {
    WITH_STATE(index, ecBadHandle);
    previous = rec->suspended;
    rec->suspended = on;
    return 0;
}

int SetWakeTarget(RecordIndex index, platform::WindowThread* thread) {
    WITH_STATE(index, ecBadHandle);
    rec->wake_target = thread;
    return 0;
}

int SetRecordOption(RecordIndex index, std::uint16_t option, bool on) {
    WITH_STATE(index, ecBadHandle);
    if (on)
        rec->options |= option;
    else
        rec->options &= static_cast<std::uint16_t>(~option);
    return 0;
}

// ---------------------------------------------------------------------------
// User data.

int SetUserData(RecordIndex index, int slot, void* data) {
    WITH_STATE(index, ecBadHandle);
    if (slot < 1 || slot > kUserDataSlots) return ecBadArgument;
    rec->user_data[slot - 1] = data;
    return 0;
}

int GetUserData(RecordIndex index, int slot, void*& data) {
    WITH_STATE(index, ecBadHandle);
    if (slot < 1 || slot > kUserDataSlots) return ecBadArgument;
    data = rec->user_data[slot - 1];
    return 0;
}

} // namespace tollander::serial
