#include "serial/dispatcher.h"

#include <algorithm>
#include <vector>

namespace tollander::serial {

using platform::DeviceStatus;
using platform::LineSettings;
using platform::Millis;

// The mask is the one the record runs with.
void WakeUntimedWait(Record& rec) {
    if (rec.untimed_wait.exchange(false) && !rec.kill)
        rec.dev->set_event_mask(platform::kEvDefaultMask);
}

namespace {

// How far the output queue is from the level an armed output trigger waits
// for. With `pending`, `wait_ms` is the time the bytes above that level take on
// the line, at most one idle pass: a wrong rate costs no more than that pass.
enum class Drain { None, Reached, Pending };
constexpr std::uint32_t kIdlePassMs = 50;

Drain OutputDrain(Record& rec, std::uint32_t& wait_ms) {
    int level = -1; // the highest output count at which a trigger fires
    LineSettings s;
    {
        std::lock_guard guard(rec.state);
        level = rec.triggers.OutputLevel(rec.out_size);
        s = rec.settings;
    }
    if (level < 0) return Drain::None;
    DeviceStatus st;
    if (rec.dev->status(st) != 0) return Drain::None;
    AccumulateStatus(rec, st);
    if (st.out_queue <= static_cast<std::uint32_t>(level)) return Drain::Reached;
    // Half bits per character: start bit, data, parity, and 1, 1.5 or 2 stop bits.
    const int stop_half_bits = s.stop_bits == 0 ? 2 : s.stop_bits == 1 ? 3 : 4;
    const std::uint64_t half_bits =
        2 * (1 + s.data_bits + (s.parity != 0 ? 1 : 0)) + stop_half_bits;
    const std::uint64_t bytes = st.out_queue - static_cast<std::uint32_t>(level);
    wait_ms = kIdlePassMs;
    if (s.baud > 0)
        wait_ms = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            kIdlePassMs, bytes * half_bits * 1000 / (2 * static_cast<std::uint64_t>(s.baud)) + 1));
    return Drain::Pending;
}

} // namespace

std::size_t InputCountLocked(const Record& rec) {
    const std::size_t count = rec.ring.Count();
    if (rec.peek) return count - std::min(count, rec.read_count);
    return count;
}

namespace {

// Begins a notice unless notices are held (a wait for text runs, or the
// record is closing). Called under rec.state, in the same hold as the check
// that decided on the notice, so a wait that suspends notices never finds
// one begun after it.
bool TryBegin(Record& rec, std::uint16_t msg) {
    if (rec.suspended || rec.closing) return false;
    rec.delivering = true;
    rec.peek = msg == kNoticeAvail || msg == kNoticeData;
    rec.largest_read_count = 0;
    rec.triggers.reissued.reset();
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
            auto outcome = NoticeWindow::Outcome::Handled;
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
            if (outcome == NoticeWindow::Outcome::StillRunning) break;
            stop = node.pass_on == 0 || (msg != kNoticeAvail && wparam <= kMaxTriggerHandle &&
                                         rec.triggers.reissued.test(wparam));
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
            rec.triggers.ForgetMatches();
            return true;
        }
        TriggerHandle handle = 0;
        std::uint16_t length = 0;
        if (!rec.triggers.FirstMatched(handle, length)) {
            ++rec.scan;
            rec.stepped = false;
            rec.in_batch = false;
            return result;
        }
        if (!TryBegin(rec, kNoticeData)) return false;
        rec.triggers.Unmatch(handle);
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
        rec.triggers.ForgetMatches();
    }
    while (rec.scan != written) {
        if (rec.in_batch) return DataNotices(rec, guard);
        const std::uint16_t longest = rec.triggers.Offer(rec.ring.AtTotal(rec.scan), !rec.stepped);
        rec.stepped = true;
        if (longest == 0) {
            ++rec.scan;
            rec.stepped = false;
            continue;
        }
        const auto before =
            static_cast<std::int64_t>(rec.scan - taken + 1) - static_cast<std::int64_t>(longest);
        if (rec.triggers.avail_level != 0 && rec.last_avail != rec.scan && before >= rec.triggers.avail_level) {
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
    if (rec.triggers.avail_level != 0 && rec.last_avail != rec.scan && count >= rec.triggers.avail_level) {
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
        handle = rec.triggers.TakeRunOutTimer();
        if (handle == 0 || !TryBegin(rec, kNoticeTimer)) return false;
    }
    return Walk(rec, kNoticeTimer, handle, 0);
}

bool StatusCheck(Record& rec) {
    bool wants_output = false;
    {
        std::lock_guard guard(rec.state);
        if (rec.suspended || rec.closing) return false;
        wants_output = rec.triggers.WantsOutputCounts();
    }
    LineView line;
    line.out_count = wants_output ? CurrentOutputCount(rec) : 0;
    line.out_room = std::max(0, rec.out_size - line.out_count);
    TriggerHandle handle = 0;
    std::uint16_t low = 0;
    {
        std::lock_guard guard(rec.state);
        // Checked again in the hold that begins the notice: a wait for text
        // may have begun meanwhile.
        if (rec.suspended || rec.closing) return false;
        line.modem_status = rec.modem_status;
        line.line_errors = rec.line_errors;
        line.output_sent = rec.output_sent;
        handle = rec.triggers.FireStatus(line, low);
        rec.output_sent = line.output_sent;
        if (handle == 0 || !TryBegin(rec, kNoticeStatus)) return false;
    }
    return Walk(rec, kNoticeStatus, handle, low);
}

void StatusPass(Record& rec) {
    bool fired_any = false;
    while (!rec.close_pending && StatusCheck(rec))
        fired_any = true;
    if (rec.close_pending) return;
    std::lock_guard guard(rec.state);
    if (fired_any || rec.triggers.AnyFired()) rec.triggers.ClearFired();
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
        rec.triggers.ResetAnyFired();
    }
    bool fired;
    do {
        fired = StatusCheck(rec);
        if (!fired && !rec.close_pending) fired = TimerCheck(rec);
    } while (fired && !rec.close_pending);
    if (rec.close_pending) return;
    std::lock_guard guard(rec.state);
    if (rec.triggers.AnyFired()) rec.triggers.ClearFired();
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
        const bool timed = OutputDrain(*rec, limit) == Drain::Pending;
        if (timed) rec->untimed_wait = false;
        const int r = timed ? rec->dev->wait_event_for(word, limit) : rec->dev->wait_event(word);
        rec->untimed_wait = false;
        if (r < 0) return;
        if (word & platform::kEvRingTrailingEdge) rec->ring_trailing_edge = true;
        if (rec->kill) break;
        if (timed && OutputDrain(*rec, limit) == Drain::Reached) word |= platform::kEvTxEmpty;
        if (word == 0) continue; // a time-out or a new mask: nothing to dispatch
        rec->EventWord = word;
        rec->comm_ready.Set();
        rec->dispatch_done.Wait();
        if (rec->kill) break;
    }
    rec->thread_signal.Set();
}

void DispatchThread(RecordPtr rec) {
    rec->thread_signal.Set();
    for (;;) {
        const bool signalled = rec->comm_ready.WaitFor(Millis(50));
        if (rec->kill) break;
        if (signalled)
            ProcessEventWord(*rec, rec->EventWord.load());
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
    FreeAndBury(rec->index, std::move(self));
}

} // namespace

void StopThreads(Record& rec) {
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
        StopThreads(*rec);
        return false;
    }
    return true;
}

} // namespace tollander::serial
