#include "serial/port_table.h"

#include "serial/input_ring.h"
#include "serial/notice_window.h"
#include "serial/tick_timer.h"

#include <algorithm>
#include <bitset>
#include <cassert>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace tollander::serial {

using platform::DeviceStatus;
using platform::LineControl;
using platform::LineSettings;
using platform::Millis;
using platform::SerialDevice;

namespace {

class AutoResetEvent {
public:
    void Set() {
        {
            std::lock_guard lock(mutex_);
            set_ = true;
        }
        cv_.notify_one();
    }
    void Wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return set_; });
        set_ = false;
    }
    bool WaitFor(Millis limit) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, limit, [&] { return set_; })) return false;
        set_ = false;
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

struct HandleEntry {
    std::uint16_t slot = 0; // 0: the handle is free
    std::uint8_t kind = 0;  // 2 timer, 3 data, 4 status
};
constexpr std::uint8_t kKindTimer = 2, kKindData = 3, kKindStatus = 4;

struct TimerSlot {
    std::uint16_t handle = 0;
    TickTimer timer;
    std::int32_t ticks = 0;
    std::uint32_t in_use = 0;
    std::uint32_t active = 0;
};

struct DataSlot {
    std::uint16_t handle = 0;
    std::uint16_t length = 0; // 0: slot free
    std::uint16_t state[kMaxDataTriggerLength + 1] = {};
    std::uint32_t matched = 0;
    std::uint32_t ignore_case = 0;
    std::uint8_t text[kMaxDataTriggerLength] = {};
};

struct StatusSlot {
    std::uint16_t handle = 0;
    std::uint16_t kind = 0; // 0: slot free
    std::uint32_t active = 0;
    std::uint16_t value = 0;
};

struct Listener {
    NoticeWindow::SendFn send; // window listener
    NoticeWindow* window = nullptr;
    platform::WindowThread* thread = nullptr; // the window listener's thread
    NoticeProc proc = nullptr;                // procedure listener
    std::uint32_t pass_on = 0;
    bool deleted = false;
};

// The upper-case mapping of the 8-bit character set the modem dialogue uses.
std::uint8_t Upper(std::uint8_t c) {
    if (c >= 'a' && c <= 'z') return c - 32;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
    switch (c) {
    case 0x9A:
        return 0x8A;
    case 0x9C:
        return 0x8C;
    case 0x9E:
        return 0x8E;
    case 0xFF:
        return 0x9F;
    default:
        return c;
    }
}

struct Record {
    RecordIndex index = 0;
    // Serialises the record operations; the dispatcher never takes it.
    std::recursive_mutex lock;
    // Guards what the dispatcher shares with the callers; held only briefly,
    // never while a notice is delivered or the device waits.
    std::mutex state;
    std::condition_variable delivered; // a delivery ended or a write began (with `state`)

    std::unique_ptr<SerialDevice> dev;
    std::uint16_t in_size = 0;
    std::atomic<std::uint16_t> out_size{0}; // read by both threads

    // Under `state`.
    std::uint16_t line_errors = 0;
    std::uint8_t modem_status = 0;
    LineSettings settings;
    bool dtr = true;
    bool rts = true;
    DeviceStatus snapshot;
    int last_written = 0;
    bool output_sent = false;
    std::uint16_t options = kOptionNoPeek;
    std::uint16_t avail_level = 0;
    bool suspended = false;  // SuspendNotices
    bool delivering = false; // a notice is being delivered
    bool writing = false;    // a device write is in progress (not under `lock`)
    bool taken_directly = false; // a reader took characters outside a notice
    bool closing = false;
    bool peek = false;
    std::size_t read_count = 0;
    std::size_t largest_read_count = 0;
    std::bitset<kMaxTriggerHandle + 1> reissued;
    std::list<Listener> listeners;
    bool list_dirty = false;
    HandleEntry handles[kMaxTriggerHandle + 1];
    TimerSlot timers[kTimerSlots];
    DataSlot data[kDataSlots];
    StatusSlot status[kStatusSlots];
    bool fired[kStatusSlots] = {};
    bool any_fired = false;
    void* user_data[kUserDataSlots] = {};

    // DispatchThread only.
    std::uint64_t scan = 0;       // running total of the next character to scan
    bool stepped = false;         // the match step ran for the character at `scan`
    bool in_batch = false;        // the data notices of the character at `scan` are under way
    std::uint64_t last_avail = 0; // scan position of the last avail notice
    bool driver_pending = false;  // bytes left in the driver for want of room

    InputRing ring;
    AutoResetEvent comm_ready, dispatch_done, thread_signal;
    std::atomic<bool> kill{false};
    std::atomic<bool> close_pending{false};
    std::atomic<bool> ring_trailing_edge{false};
    std::atomic<std::uint32_t> event_word{0};
    // The event thread is in (or about to begin) a wait without a time limit.
    std::atomic<bool> untimed_wait{false};
    platform::WindowThread* wake_target = nullptr; // under `state`
    std::mutex input_mutex;
    std::condition_variable input_cv;
    std::thread event_thread;
    std::thread dispatch_thread;
    int dispatcher_state = 0; // 4 while the threads run

    bool NoticesHeld() {
        std::lock_guard guard(state);
        return suspended || delivering;
    }
};

using RecordPtr = std::shared_ptr<Record>;

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
                Stop(*rec);
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

    static void Stop(Record& rec);

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

RecordPtr Find(RecordIndex index) {
    return PortTableInstance().Find(index);
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

int CurrentOutputRoom(Record& rec) {
    return std::max(0, rec.out_size - CurrentOutputCount(rec));
}

// How far the output queue is from the level an armed output trigger waits
// for. With `pending`, `wait_ms` is the time the bytes above that level take on
// the line, at most one idle pass: a wrong rate costs no more than that pass.
enum class Drain { none, reached, pending };
constexpr std::uint32_t kIdlePassMs = 50;

Drain OutputDrain(Record& rec, std::uint32_t& wait_ms) {
    int level = -1; // the highest output count at which a trigger fires
    LineSettings s;
    {
        std::lock_guard guard(rec.state);
        for (const auto& slot : rec.status) {
            if (!slot.active) continue;
            if (slot.kind == kStatusOutRoom && slot.value <= rec.out_size)
                level = std::max(level, rec.out_size - slot.value);
            else if (slot.kind == kStatusOutCount)
                level = std::max(level, static_cast<int>(slot.value));
            else if (slot.kind == kStatusOutSent)
                level = std::max(level, 0);
        }
        s = rec.settings;
    }
    if (level < 0) return Drain::none;
    DeviceStatus st;
    if (rec.dev->status(st) != 0) return Drain::none;
    AccumulateStatus(rec, st);
    if (st.out_queue <= static_cast<std::uint32_t>(level)) return Drain::reached;
    // Half bits per character: start bit, data, parity, and 1, 1.5 or 2 stop bits.
    const int stop_half_bits = s.stop_bits == 0 ? 2 : s.stop_bits == 1 ? 3 : 4;
    const std::uint64_t half_bits =
        2 * (1 + s.data_bits + (s.parity != 0 ? 1 : 0)) + stop_half_bits;
    const std::uint64_t bytes = st.out_queue - static_cast<std::uint32_t>(level);
    wait_ms = kIdlePassMs;
    if (s.baud > 0)
        wait_ms = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            kIdlePassMs, bytes * half_bits * 1000 / (2 * static_cast<std::uint64_t>(s.baud)) + 1));
    return Drain::pending;
}

bool OutputTriggerArmed(Record& rec) {
    for (const auto& slot : rec.status)
        if (slot.active && (slot.kind == kStatusOutRoom || slot.kind == kStatusOutCount ||
                            slot.kind == kStatusOutSent))
            return true;
    return false;
}

// Ends an event wait without a time limit, so that the event thread times its
// next wait to the output queue. The mask is the one the record runs with.
void WakeUntimedWait(Record& rec) {
    if (rec.untimed_wait.exchange(false) && !rec.kill)
        rec.dev->set_event_mask(platform::kEvDefaultMask);
}

std::uint8_t RefreshModemStatus(Record& rec, std::uint8_t keep_mask) {
    std::uint8_t lines = 0;
    rec.dev->modem_lines(lines);
    std::lock_guard guard(rec.state);
    std::uint8_t ms = static_cast<std::uint8_t>((rec.modem_status & 0x0F) | (lines & 0xF0));
    if (rec.ring_trailing_edge.exchange(false)) ms |= 4;
    rec.modem_status = ms & keep_mask;
    return ms;
}

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

// ---------------------------------------------------------------------------
// Triggers (callers hold rec.state).

int NewHandle(Record& rec, std::uint8_t kind, std::uint16_t slot) {
    for (TriggerHandle h = 2; h <= kMaxTriggerHandle; ++h) {
        if (rec.handles[h].slot == 0) {
            rec.handles[h] = {slot, kind};
            rec.reissued.set(h);
            return h;
        }
    }
    return ecNoMoreTriggers;
}

void FreeSlotOf(Record& rec, TriggerHandle h) {
    const auto entry = rec.handles[h];
    if (entry.slot == 0) return;
    const int s = entry.slot - 1;
    if (entry.kind == kKindTimer) rec.timers[s] = {};
    if (entry.kind == kKindData) rec.data[s] = {};
    if (entry.kind == kKindStatus) {
        rec.status[s] = {};
        rec.fired[s] = false;
    }
    rec.handles[h] = {};
}

// One received character offered to one data trigger; true on a match. The
// counters are partial matches in progress, so a text whose beginning repeats
// inside it is still found.
bool MatchStep(DataSlot& slot, std::uint8_t ch) {
    if (slot.ignore_case) ch = Upper(ch);
    const int length = slot.length;
    bool matched = false;
    bool one_seen = false;
    for (int i = 0; i < length; ++i) {
        const std::uint16_t k = slot.state[i];
        const bool work = i == 0 || k != 0 || (ch == slot.text[0] && !one_seen);
        if (!work) continue;
        if (slot.text[k] == ch) {
            if (k == length - 1) {
                std::fill(slot.state, slot.state + length, 0);
                matched = true;
                one_seen = false;
                continue;
            }
            slot.state[i] = k + 1;
        } else {
            slot.state[i] = ch == slot.text[0] ? 1 : 0;
        }
        if (slot.state[i] == 1) one_seen = true;
    }
    return matched;
}

void ClearMatchState(Record& rec) {
    for (auto& slot : rec.data) {
        std::fill(std::begin(slot.state), std::end(slot.state), 0);
        slot.matched = 0;
    }
}

// ---------------------------------------------------------------------------
// The dispatcher.

std::size_t InputCountLocked(Record& rec) {
    const std::size_t count = rec.ring.Count();
    if (rec.peek) return count - std::min(count, rec.read_count);
    return count;
}

// Begins a notice unless notices are held (a wait for text runs, or the
// record is closing). Called under rec.state, in the same hold as the check
// that decided on the notice, so a wait that suspends notices never finds
// one begun after it.
bool TryBegin(Record& rec, std::uint16_t msg) {
    if (rec.suspended || rec.closing) return false;
    rec.delivering = true;
    rec.peek = msg == kNoticeAvail || msg == kNoticeData;
    rec.largest_read_count = 0;
    rec.reissued.reset();
    return true;
}

// Ends a begun notice (under rec.state): the characters the listeners peeked
// leave the ring. False when an avail notice's characters were not all read.
bool EndNoticeLocked(Record& rec, std::uint16_t msg, std::uint32_t wparam) {
    if (rec.list_dirty) {
        rec.listeners.remove_if([](const Listener& l) { return l.deleted; });
        rec.list_dirty = false;
    }
    bool result = true;
    if (rec.peek) {
        rec.peek = false;
        rec.ring.Drop(rec.largest_read_count);
        if (msg == kNoticeAvail && rec.largest_read_count != wparam) result = false;
    }
    rec.delivering = false;
    rec.read_count = 0;
    rec.delivered.notify_all();
    return result;
}

// Walks the listeners with a begun notice; false when the record was closed
// in it, or when an avail notice's characters were not all read.
bool Walk(Record& rec, std::uint16_t msg, std::uint32_t wparam, std::uint16_t low) {
    std::list<Listener>::iterator it;
    {
        std::lock_guard guard(rec.state);
        it = rec.listeners.begin();
    }
    const std::uint32_t lparam = (std::uint32_t{rec.index} << 16) | low;
    std::unique_lock guard(rec.state, std::defer_lock);
    for (;;) {
        Listener node;
        {
            std::lock_guard hold(rec.state);
            if (it == rec.listeners.end()) break;
            node = *it;
            rec.read_count = 0;
        }
        bool stop = false;
        if (!node.deleted) {
            auto outcome = NoticeWindow::Outcome::handled;
            try {
                if (node.proc)
                    node.proc(nullptr, msg, wparam, lparam);
                else if (node.send)
                    outcome = node.send(msg, wparam, lparam, kNoticeSendLimit);
            } catch (...) {
                // A listener's failure ends at the listener.
            }
            if (rec.close_pending) return false;
            guard.lock();
            rec.largest_read_count = std::max(rec.largest_read_count, rec.read_count);
            // A handler that outlived the limit goes on alone, and what it
            // reads from now on it takes at once: the notice ends in this same
            // hold, so no character it reads is counted twice.
            if (outcome == NoticeWindow::Outcome::still_running) break;
            stop = node.pass_on == 0 || (msg != kNoticeAvail && wparam <= kMaxTriggerHandle &&
                                         rec.reissued.test(wparam));
            guard.unlock();
        }
        std::lock_guard hold(rec.state);
        ++it;
        if (stop) break;
    }
    if (!guard.owns_lock()) guard.lock();
    const bool result = EndNoticeLocked(rec, msg, wparam);
    // A wait for text that let this notice end first goes on.
    if (rec.suspended && rec.wake_target) rec.wake_target->wake();
    return result;
}

// Moves what the driver holds into the ring, in at most two reads.
void MoveBytes(Record& rec) {
    if (rec.ring.Full()) {
        rec.driver_pending = true;
        return;
    }
    DeviceStatus st;
    if (rec.dev->status(st) != 0) return;
    AccumulateStatus(rec, st);
    if (st.in_queue == 0) {
        rec.driver_pending = false;
        return;
    }
    const std::size_t amount = std::min<std::size_t>(st.in_queue, rec.ring.Room());
    std::size_t moved = 0;
    for (int piece = 0; piece < 2 && moved < amount; ++piece) {
        auto span = rec.ring.FreeSpan();
        const std::size_t want = std::min(span.size(), amount - moved);
        const int got = rec.dev->read(span.data(), want);
        if (got <= 0) break;
        rec.ring.Commit(static_cast<std::size_t>(got));
        moved += static_cast<std::size_t>(got);
        if (static_cast<std::size_t>(got) < want) break;
    }
    rec.driver_pending = st.in_queue > moved;
    if (moved == 0) return;
    { std::lock_guard lock(rec.input_mutex); }
    rec.input_cv.notify_all();
    // Under the lock: once the port object has let go of its window thread,
    // nothing here touches it any more.
    std::lock_guard guard(rec.state);
    if (rec.wake_target) rec.wake_target->wake();
}

// The data notices of the character at the scan position, one for each
// matched trigger; a wait for text that begins between two of them holds the
// rest back until it ends, and drops them when it took the character.
bool DataNotices(Record& rec, std::unique_lock<std::mutex>& guard) {
    bool result = true;
    for (;;) {
        if (rec.taken_directly && rec.scan < rec.ring.Taken()) {
            // A reader (a wait for text) took the character meanwhile: the
            // notices still due for it are dropped.
            rec.scan = rec.ring.Taken();
            rec.stepped = false;
            rec.in_batch = false;
            for (auto& slot : rec.data)
                slot.matched = 0;
            return true;
        }
        DataSlot* hit = nullptr;
        for (auto& slot : rec.data) {
            if (slot.length != 0 && slot.matched) {
                hit = &slot;
                break;
            }
        }
        if (!hit) {
            ++rec.scan;
            rec.stepped = false;
            rec.in_batch = false;
            return result;
        }
        if (!TryBegin(rec, kNoticeData)) return false;
        hit->matched = 0;
        const TriggerHandle handle = hit->handle;
        const std::uint16_t length = hit->length;
        guard.unlock();
        result = Walk(rec, kNoticeData, handle, length);
        if (rec.close_pending) return false;
        guard.lock();
    }
}

// Data triggers and avail notices; true when it should run again.
bool Scanner(Record& rec) {
    const std::uint64_t taken = rec.ring.Taken();
    const std::uint64_t written = rec.ring.Written();
    std::unique_lock guard(rec.state);
    if (rec.scan < taken || rec.scan > written) {
        // A reader took these characters: they are never offered, and the
        // notices still due for them are dropped.
        rec.scan = taken;
        rec.stepped = false;
        rec.in_batch = false;
        for (auto& slot : rec.data)
            slot.matched = 0;
    }
    while (rec.scan != written) {
        if (rec.in_batch) return DataNotices(rec, guard);
        const std::uint8_t ch = rec.ring.AtTotal(rec.scan);
        bool any = false;
        std::uint16_t longest = 0;
        for (auto& slot : rec.data) {
            if (slot.length == 0) continue;
            if (!rec.stepped && MatchStep(slot, ch)) slot.matched = 1;
            if (slot.matched) {
                any = true;
                longest = std::max(longest, slot.length);
            }
        }
        rec.stepped = true;
        if (!any) {
            ++rec.scan;
            rec.stepped = false;
            continue;
        }
        const auto before =
            static_cast<std::int64_t>(rec.scan - taken + 1) - static_cast<std::int64_t>(longest);
        if (rec.avail_level != 0 && rec.last_avail != rec.scan && before >= rec.avail_level) {
            // The characters in front of the watched text come first; held
            // back, the same match is found again when notices resume.
            if (!TryBegin(rec, kNoticeAvail)) return false;
            rec.last_avail = rec.scan;
            guard.unlock();
            return Walk(rec, kNoticeAvail, static_cast<std::uint32_t>(before), 0);
        }
        rec.in_batch = true;
        rec.taken_directly = false;
        return DataNotices(rec, guard);
    }
    const std::size_t count = InputCountLocked(rec);
    if (rec.avail_level != 0 && rec.last_avail != rec.scan && count >= rec.avail_level) {
        if (!TryBegin(rec, kNoticeAvail)) return false;
        rec.last_avail = rec.scan;
        guard.unlock();
        return Walk(rec, kNoticeAvail, static_cast<std::uint32_t>(count), 0);
    }
    return false;
}

bool TimerCheck(Record& rec) {
    TriggerHandle handle = 0;
    {
        std::lock_guard guard(rec.state);
        if (rec.suspended || rec.closing) return false;
        for (auto& slot : rec.timers) {
            if (slot.active && slot.timer.RunOut()) {
                slot.active = 0;
                handle = slot.handle;
                break;
            }
        }
        if (handle == 0 || !TryBegin(rec, kNoticeTimer)) return false;
    }
    return Walk(rec, kNoticeTimer, handle, 0);
}

bool StatusCheck(Record& rec) {
    bool wants_output = false;
    {
        std::lock_guard guard(rec.state);
        if (rec.suspended || rec.closing) return false;
        for (int i = 0; i < kStatusSlots; ++i) {
            const auto& slot = rec.status[i];
            if (slot.active && !rec.fired[i] &&
                (slot.kind == kStatusOutRoom || slot.kind == kStatusOutCount))
                wants_output = true;
        }
    }
    const int out_count = wants_output ? CurrentOutputCount(rec) : 0;
    const int out_room = std::max(0, rec.out_size - out_count);
    TriggerHandle handle = 0;
    std::uint16_t low = 0;
    {
        std::lock_guard guard(rec.state);
        // Checked again in the hold that begins the notice: a wait for text
        // may have begun meanwhile.
        if (rec.suspended || rec.closing) return false;
        for (int i = 0; i < kStatusSlots && handle == 0; ++i) {
            auto& slot = rec.status[i];
            if (!slot.active || rec.fired[i]) continue;
            bool fire = false;
            switch (slot.kind) {
            case kStatusModem: {
                const std::uint8_t expected = slot.value & 0xFF;
                const std::uint8_t mask = slot.value >> 8;
                fire = ((rec.modem_status ^ expected) & mask) != 0;
                break;
            }
            case kStatusLineError:
                fire = (slot.value & rec.line_errors) != 0;
                if (fire) slot.value = rec.line_errors;
                break;
            case kStatusOutRoom:
                fire = out_room >= slot.value;
                low = static_cast<std::uint16_t>(out_room);
                break;
            case kStatusOutCount:
                fire = out_count <= slot.value;
                low = static_cast<std::uint16_t>(out_count);
                break;
            case kStatusOutSent:
                fire = rec.output_sent;
                if (fire) rec.output_sent = false;
                break;
            default:
                break;
            }
            if (!fire) {
                low = 0;
                continue;
            }
            slot.active = 0;
            rec.fired[i] = true;
            rec.any_fired = true;
            handle = slot.handle;
        }
        if (handle == 0 || !TryBegin(rec, kNoticeStatus)) return false;
    }
    return Walk(rec, kNoticeStatus, handle, low);
}

void ClearFired(Record& rec) {
    std::lock_guard guard(rec.state);
    std::fill(std::begin(rec.fired), std::end(rec.fired), false);
    rec.any_fired = false;
}

void StatusPass(Record& rec) {
    bool fired_any = false;
    while (!rec.close_pending && StatusCheck(rec))
        fired_any = true;
    if (rec.close_pending) return;
    std::lock_guard guard(rec.state);
    if (fired_any || rec.any_fired) {
        std::fill(std::begin(rec.fired), std::end(rec.fired), false);
        rec.any_fired = false;
    }
}

void ReceivedBytes(Record& rec) {
    MoveBytes(rec);
    if (rec.NoticesHeld()) return;
    while (!rec.close_pending && Scanner(rec)) {
    }
}

void IdlePass(Record& rec) {
    // Bytes left in the driver while the ring was full are fetched once there
    // is room, without waiting for a character that flow control may hold.
    if (rec.driver_pending && !rec.close_pending) ReceivedBytes(rec);
    if (rec.close_pending || rec.NoticesHeld()) return;
    {
        std::lock_guard guard(rec.state);
        rec.any_fired = false;
    }
    bool fired;
    do {
        fired = StatusCheck(rec);
        if (!fired && !rec.close_pending) fired = TimerCheck(rec);
    } while (fired && !rec.close_pending);
    if (rec.close_pending) return;
    bool clear;
    {
        std::lock_guard guard(rec.state);
        clear = rec.any_fired;
    }
    if (clear) ClearFired(rec);
}

void ProcessEventWord(Record& rec, std::uint32_t word) {
    using namespace platform;
    if (word & (kEvCts | kEvDsr | kEvCarrier | kEvRing | kEvRingTrailingEdge)) {
        std::uint8_t before;
        {
            std::lock_guard guard(rec.state);
            before = rec.modem_status;
        }
        const std::uint8_t now = RefreshModemStatus(rec, 0xFF);
        const std::uint8_t diff = before ^ now;
        std::uint8_t changes = 0;
        if (diff & kLineCts) changes |= 1;
        if (diff & kLineDsr) changes |= 2;
        if (diff & kLineCarrier) changes |= 8;
        {
            std::lock_guard guard(rec.state);
            rec.modem_status |= changes;
        }
        if (!rec.NoticesHeld()) StatusPass(rec);
    }
    if (word & (kEvBreak | kEvError)) {
        RefreshStatus(rec);
        if (!rec.NoticesHeld()) StatusPass(rec);
    }
    if (word & kEvTxEmpty) {
        // An output trigger's level was reached between two idle passes.
        if (!rec.NoticesHeld()) StatusPass(rec);
    }
    if (word & kEvRxChar) {
        ReceivedBytes(rec);
        if (rec.close_pending) return;
    }
    rec.dispatch_done.Set();
}

void CommEventThread(Record* rec) {
    rec->thread_signal.Set();
    for (;;) {
        // While an output trigger waits for the queue to drain, the wait lasts
        // as long as the queued bytes take on the line; a terminal only tells
        // when there is room, never when the queue ran empty.
        std::uint32_t word = 0, limit = 0;
        rec->untimed_wait = true;
        const bool timed = OutputDrain(*rec, limit) == Drain::pending;
        if (timed) rec->untimed_wait = false;
        const int r = timed ? rec->dev->wait_event_for(word, limit) : rec->dev->wait_event(word);
        rec->untimed_wait = false;
        if (r < 0) return;
        if (word & platform::kEvRingTrailingEdge) rec->ring_trailing_edge = true;
        if (rec->kill) break;
        if (timed && OutputDrain(*rec, limit) == Drain::reached) word |= platform::kEvTxEmpty;
        if (word == 0) continue; // a time-out or a new mask: nothing to dispatch
        rec->event_word = word;
        rec->comm_ready.Set();
        rec->dispatch_done.Wait();
        if (rec->kill) break;
    }
    rec->thread_signal.Set();
}

void FreeRecord(Record& rec);

void DispatchThread(RecordPtr rec) {
    rec->thread_signal.Set();
    for (;;) {
        const bool signalled = rec->comm_ready.WaitFor(Millis(50));
        if (rec->kill) break;
        if (signalled)
            ProcessEventWord(*rec, rec->event_word.load());
        else
            IdlePass(*rec);
        if (rec->kill || rec->close_pending) break;
    }
    rec->thread_signal.Set();
    if (!rec->close_pending) return;
    // Closed from inside a notice: the record is ours to free.
    rec->kill = true;
    rec->dev->set_event_mask(0);
    rec->dispatch_done.Set();
    if (rec->event_thread.joinable()) rec->event_thread.join();
    auto self = std::move(rec->dispatch_thread);
    {
        std::lock_guard guard(rec->state);
        rec->listeners.clear();
    }
    PortTableInstance().FreeAndBury(rec->index, std::move(self));
}

void Table::Stop(Record& rec) {
    if (rec.dispatcher_state == 0) return;
    rec.kill = true;
    rec.dev->set_event_mask(0); // ends a pending event wait
    rec.dispatch_done.Set();
    rec.comm_ready.Set();
    if (rec.event_thread.joinable()) rec.event_thread.join();
    if (rec.dispatch_thread.joinable() &&
        rec.dispatch_thread.get_id() != std::this_thread::get_id())
        rec.dispatch_thread.join();
    rec.dispatcher_state = 0;
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

bool StartThreads(const RecordPtr& rec) {
    if (rec->dispatcher_state != 0) return true;
    rec->dispatcher_state = 4;
    rec->kill = false;
    try {
        rec->event_thread = std::thread(CommEventThread, rec.get());
        rec->thread_signal.WaitFor(Millis(3000));
        rec->dispatch_thread = std::thread(DispatchThread, rec);
        rec->thread_signal.WaitFor(Millis(3000));
    } catch (const std::system_error&) {
        Table::Stop(*rec);
        return false;
    }
    return true;
}

} // namespace

DeviceLayer PlatformDeviceLayer() {
    return [] { return platform::make_serial_device(); };
}

// ---------------------------------------------------------------------------
// Opening and closing.

int OpenPortRecord(const std::string& device_name, std::uint8_t /*dispatcher_mode*/,
                   std::uint16_t out_size, std::uint16_t in_size, std::uint16_t stop_bits,
                   std::uint16_t data_bits, std::uint8_t parity, std::int32_t baud,
                   const DeviceLayer& layer, std::string* os_reason,
                   platform::DeviceFault* os_fault) {
    auto& table = PortTableInstance();
    table.Reap();
    RecordPtr rec;
    try {
        rec = std::make_shared<Record>();
        rec->dev = layer ? layer() : platform::make_serial_device();
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
    if (int r = rec->dev->set_queue_sizes(in_size, out_size); r != 0) return fail(r);
    rec->in_size = in_size;
    rec->out_size = out_size;
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
    if (int r = SetLineParams(index, baud, parity, data_bits, stop_bits); r != 0) return fail(r);
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
    Table::Stop(*rec);
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

int SetLineParams(RecordIndex index, std::int32_t baud, std::uint8_t parity,
                  std::uint16_t data_bits, std::uint16_t stop_bits) {
    WITH_RECORD(index, ecBadHandle);
    LineSettings s;
    if (ReadSettings(*rec, s) != 0) return ecNotSupported;
    if (baud != 0) s.baud = baud;
    if (parity != 5) s.parity = parity;
    if (data_bits != 9) s.data_bits = static_cast<std::uint8_t>(data_bits);
    if (stop_bits != 3) {
        if (stop_bits == 0) stop_bits = 1;
        if (stop_bits > 3) stop_bits = 2;
        s.stop_bits = stop_bits == 1 ? 0 : 2;
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

int WriteBlock(RecordIndex index, const std::uint8_t* bytes, std::uint16_t count) {
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
    }
    // Not under the record's lock: a modem that holds CTS low keeps this
    // write for up to the device's write limit, and nobody else waits for it.
    const int written = rec->dev->write(bytes, count);
    bool watched;
    bool closed;
    {
        std::lock_guard guard(rec->state);
        rec->writing = false;
        rec->last_written = written;
        rec->output_sent = true;
        watched = OutputTriggerArmed(*rec);
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
    if (written <= 0) {
        RefreshStatus(*rec);
        return ecPutBlockFail;
    }
    return 0;
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

int ReadChar(RecordIndex index, char& ch) {
    WITH_RECORD(index, ecBadHandle);
    std::lock_guard guard(rec->state);
    if (rec->peek && !(rec->options & kOptionNoPeek)) {
        if (rec->read_count >= rec->ring.Count()) return ecBufferIsEmpty;
        ch = static_cast<char>(rec->ring.Peek(rec->read_count));
        ++rec->read_count;
        return 0;
    }
    if (rec->ring.Count() == 0) return ecBufferIsEmpty;
    ch = static_cast<char>(rec->ring.Peek(0));
    rec->ring.Drop(1);
    rec->taken_directly = true;
    return 0;
}

bool InputWaiting(RecordIndex index) {
    return InputCount(index) > 0;
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
    ClearMatchState(*rec);
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
    rec->avail_level = level;
    return 0;
}

std::uint16_t GetAvailLevel(RecordIndex index) {
    WITH_STATE(index, 0);
    return rec->avail_level;
}

int NewDataTrigger(RecordIndex index, const char* text, bool ignore_case, std::uint16_t length) {
    WITH_STATE(index, ecBadHandle);
    if (length > kMaxDataTriggerLength) return ecTriggerTooLong;
    if (length == 0) return ecBadArgument;
    for (int s = 0; s < kDataSlots; ++s) {
        auto& slot = rec->data[s];
        if (slot.length != 0) continue;
        const int handle = NewHandle(*rec, kKindData, static_cast<std::uint16_t>(s + 1));
        if (handle < 0) return handle;
        slot = {};
        slot.handle = static_cast<TriggerHandle>(handle);
        slot.length = length;
        slot.ignore_case = ignore_case;
        for (int i = 0; i < length; ++i) {
            const auto c = static_cast<std::uint8_t>(text[i]);
            slot.text[i] = ignore_case ? Upper(c) : c;
        }
        return handle;
    }
    return ecNoMoreTriggers;
}

int NewTimerTrigger(RecordIndex index) {
    WITH_STATE(index, ecBadHandle);
    for (int s = 0; s < kTimerSlots; ++s) {
        auto& slot = rec->timers[s];
        if (slot.in_use) continue;
        const int handle = NewHandle(*rec, kKindTimer, static_cast<std::uint16_t>(s + 1));
        if (handle < 0) return handle;
        slot = {};
        slot.handle = static_cast<TriggerHandle>(handle);
        slot.in_use = 1;
        return handle;
    }
    return ecNoMoreTriggers;
}

int NewStatusTrigger(RecordIndex index, std::uint16_t kind) {
    WITH_STATE(index, ecBadHandle);
    if (kind == 0 || kind > kStatusOutSent) return ecBadArgument;
    for (int s = 0; s < kStatusSlots; ++s) {
        auto& slot = rec->status[s];
        if (slot.kind != 0) continue;
        const int handle = NewHandle(*rec, kKindStatus, static_cast<std::uint16_t>(s + 1));
        if (handle < 0) return handle;
        slot = {};
        slot.handle = static_cast<TriggerHandle>(handle);
        slot.kind = kind;
        rec->fired[s] = false;
        return handle;
    }
    return ecNoMoreTriggers;
}

int ArmTimerTrigger(RecordIndex index, TriggerHandle handle, std::int32_t ticks, bool on) {
    WITH_STATE(index, ecBadHandle);
    if (handle < 2 || handle > kMaxTriggerHandle || rec->handles[handle].kind != kKindTimer ||
        rec->handles[handle].slot == 0)
        return ecBadTriggerHandle;
    auto& slot = rec->timers[rec->handles[handle].slot - 1];
    if (!on) {
        slot.active = 0;
        return 0;
    }
    if (ticks == 0)
        ticks = slot.ticks;
    else
        slot.ticks = ticks;
    slot.timer.Start(ticks);
    slot.active = 1;
    return 0;
}

int ArmStatusTrigger(RecordIndex index, TriggerHandle handle, std::uint16_t value, bool on) {
    WITH_STATE(index, ecBadHandle);
    if (handle < 2 || handle > kMaxTriggerHandle || rec->handles[handle].kind != kKindStatus ||
        rec->handles[handle].slot == 0)
        return ecBadTriggerHandle;
    auto& slot = rec->status[rec->handles[handle].slot - 1];
    if (!on) {
        slot.active = 0;
        return 0;
    }
    switch (slot.kind) {
    case kStatusModem: {
        const std::uint8_t mask = value & 0xFF;
        slot.value = static_cast<std::uint16_t>((mask << 8) | (mask & rec->modem_status));
        break;
    }
    case kStatusLineError: {
        std::uint16_t bits = 0;
        if (value & 1) bits |= platform::kErrHwOverrun;
        if (value & 2) bits |= platform::kErrParity;
        if (value & 4) bits |= platform::kErrFraming;
        if (value & 8) bits |= platform::kErrBreak;
        slot.value = bits;
        break;
    }
    case kStatusOutRoom:
    case kStatusOutCount:
        slot.value = value;
        break;
    default:
        break;
    }
    slot.active = 1;
    if (slot.kind == kStatusOutRoom || slot.kind == kStatusOutCount || slot.kind == kStatusOutSent)
        WakeUntimedWait(*rec);
    return 0;
}

int DeleteTrigger(RecordIndex index, TriggerHandle handle) {
    WITH_STATE(index, ecBadHandle);
    if (handle == kAvailHandle)
        rec->avail_level = 0;
    else if (handle >= 2 && handle <= kMaxTriggerHandle)
        FreeSlotOf(*rec, handle);
    return 0;
}

std::uint16_t StatusTriggerKind(RecordIndex index, TriggerHandle handle) {
    WITH_STATE(index, 0);
    if (handle < 2 || handle > kMaxTriggerHandle) return 0;
    const auto entry = rec->handles[handle];
    if (entry.kind != kKindStatus || entry.slot == 0) return 0;
    return rec->status[entry.slot - 1].kind;
}

int ClearTriggers(RecordIndex index) {
    WITH_STATE(index, ecBadHandle);
    rec->avail_level = 0;
    std::fill(std::begin(rec->handles), std::end(rec->handles), HandleEntry{});
    std::fill(std::begin(rec->timers), std::end(rec->timers), TimerSlot{});
    std::fill(std::begin(rec->data), std::end(rec->data), DataSlot{});
    std::fill(std::begin(rec->status), std::end(rec->status), StatusSlot{});
    std::fill(std::begin(rec->fired), std::end(rec->fired), false);
    return 0;
}

namespace {

// The image is little-endian with fixed slot sizes, whatever the compiler's
// layout of the tables.
class ImageWriter {
public:
    explicit ImageWriter(TriggerImage& image) : image_(image) { image_.fill(0); }
    void U8(std::uint8_t v) { image_[pos_++] = v; }
    void U16(std::uint16_t v) {
        U8(v & 0xFF);
        U8(v >> 8);
    }
    void U32(std::uint32_t v) {
        U16(v & 0xFFFF);
        U16(v >> 16);
    }
    void Skip(std::size_t n) { pos_ += n; }
    std::size_t Pos() const { return pos_; }

private:
    TriggerImage& image_;
    std::size_t pos_ = 0;
};

class ImageReader {
public:
    explicit ImageReader(const TriggerImage& image) : image_(image) {}
    std::uint8_t U8() { return image_[pos_++]; }
    std::uint16_t U16() {
        const std::uint16_t lo = U8();
        return static_cast<std::uint16_t>(lo | (U8() << 8));
    }
    std::uint32_t U32() {
        const std::uint32_t lo = U16();
        return lo | (std::uint32_t{U16()} << 16);
    }
    void Skip(std::size_t n) { pos_ += n; }

private:
    const TriggerImage& image_;
    std::size_t pos_ = 0;
};

} // namespace

int SaveTriggers(RecordIndex index, TriggerImage& image) {
    WITH_STATE(index, ecBadHandle);
    ImageWriter w(image);
    w.U16(rec->avail_level);
    for (TriggerHandle h = 1; h <= kMaxTriggerHandle; ++h) {
        w.U16(h == 1 ? 0 : rec->handles[h].slot);
        w.U8(h == 1 ? 0 : rec->handles[h].kind);
        w.Skip(1);
    }
    for (const auto& t : rec->timers) { // 24 bytes
        w.U16(t.handle);
        w.Skip(2);
        w.U32(static_cast<std::uint32_t>(t.timer.StartTicks));
        w.U32(static_cast<std::uint32_t>(t.timer.EndTicks));
        w.U32(static_cast<std::uint32_t>(t.ticks));
        w.U32(t.in_use);
        w.U32(t.active);
    }
    for (const auto& d : rec->data) { // 80 bytes
        w.U16(d.handle);
        w.U16(d.length);
        for (auto s : d.state)
            w.U16(s);
        w.U32(d.matched);
        w.U32(d.ignore_case);
        for (auto c : d.text)
            w.U8(c);
        w.Skip(3);
    }
    for (const auto& s : rec->status) { // 12 bytes
        w.U16(s.handle);
        w.U16(s.kind);
        w.U32(s.active);
        w.U16(s.value);
        w.Skip(2);
    }
    assert(w.Pos() == kTriggerImageSize);
    return 0;
}

int RestoreTriggers(RecordIndex index, const TriggerImage& image) {
    WITH_STATE(index, ecBadHandle);
    ImageReader r(image);
    rec->avail_level = r.U16();
    for (TriggerHandle h = 1; h <= kMaxTriggerHandle; ++h) {
        const std::uint16_t slot = r.U16();
        const std::uint8_t kind = r.U8();
        r.Skip(1);
        const std::uint16_t limit = kind == kKindData ? kDataSlots : kTimerSlots;
        const bool valid = h != 1 && slot != 0 && slot <= limit &&
                           (kind == kKindTimer || kind == kKindData || kind == kKindStatus);
        rec->handles[h] = valid ? HandleEntry{slot, kind} : HandleEntry{};
    }
    for (auto& t : rec->timers) {
        t.handle = r.U16();
        r.Skip(2);
        t.timer.StartTicks = static_cast<std::int32_t>(r.U32());
        t.timer.EndTicks = static_cast<std::int32_t>(r.U32());
        t.ticks = static_cast<std::int32_t>(r.U32());
        t.in_use = r.U32();
        t.active = r.U32();
    }
    for (auto& d : rec->data) {
        d.handle = r.U16();
        d.length = std::min<std::uint16_t>(r.U16(), kMaxDataTriggerLength);
        for (auto& s : d.state)
            s = std::min<std::uint16_t>(r.U16(), kMaxDataTriggerLength - 1);
        d.matched = r.U32();
        d.ignore_case = r.U32();
        for (auto& c : d.text)
            c = r.U8();
        r.Skip(3);
    }
    for (auto& s : rec->status) {
        s.handle = r.U16();
        s.kind = r.U16();
        s.active = r.U32();
        s.value = r.U16();
        r.Skip(2);
    }
    std::fill(std::begin(rec->fired), std::end(rec->fired), false);
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
