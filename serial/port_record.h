// The port record as the three rooms of the serial layer share it: the
// registry and the record operations (port_table.cpp), the dispatcher
// (dispatcher.cpp) and the triggers (triggers.cpp). Not for use outside
// serial/: everyone else goes through port_table.h by record index.
//
// Locking, from the outside in:
// - `lock` (re-entrant) serialises the record operations. The dispatcher
//   never takes it, and nobody holds it while a device write waits or a
//   notice is delivered.
// - `state` guards what the dispatcher shares with the callers (everything
//   marked "under `state`", the trigger tables included). It is held only
//   briefly and never while a listener runs or the device waits; taken after
//   `lock` when both are needed.
// - The ring has one writer (DispatchThread) and positions that are atomic
//   running totals; readers take characters under `state`.
// - The fields marked "DispatchThread only" need no lock.
#pragma once

#include "platform/serial/serial_device.h"
#include "platform/thread/window_thread.h"
#include "serial/input_ring.h"
#include "serial/notice_window.h"
#include "serial/port_table.h"
#include "serial/triggers.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tollander::serial {

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
    bool WaitFor(platform::Millis limit) {
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

struct Listener {
    NoticeWindow::SendFn send; // window listener
    NoticeWindow* window = nullptr;
    platform::WindowThread* thread = nullptr; // the window listener's thread
    NoticeProc proc = nullptr;                // procedure listener
    std::uint32_t pass_on = 0;
    bool deleted = false;
};

struct Record {
    RecordIndex index = 0;
    std::recursive_mutex lock;
    std::mutex state;
    std::condition_variable delivered; // a delivery ended or a write began (with `state`)

    std::unique_ptr<platform::SerialDevice> dev;
    std::uint16_t in_size = 0;
    std::atomic<std::uint16_t> out_size{0}; // read by both threads

    // Under `state`.
    std::uint16_t line_errors = 0;
    std::uint8_t modem_status = 0;
    platform::LineSettings settings;
    bool dtr = true;
    bool rts = true;
    platform::DeviceStatus snapshot;
    int last_written = 0;
    std::string write_failure; // the device's words for the last write it ended short
    bool output_sent = false;
    std::uint16_t options = kOptionNoPeek;
    bool suspended = false;      // SuspendNotices
    bool delivering = false;     // a notice is being delivered
    bool writing = false;        // a device write is in progress (not under `lock`)
    bool taken_directly = false; // a reader took characters outside a notice
    bool closing = false;
    bool peek = false;
    std::size_t read_count = 0;
    std::size_t largest_read_count = 0;
    std::list<Listener> listeners;
    bool list_dirty = false;
    TriggerTables triggers;
    void* user_data[kUserDataSlots] = {};
    platform::WindowThread* wake_target = nullptr;

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
    std::atomic<std::uint32_t> EventWord{0};
    // The event thread is in (or about to begin) a wait without a time limit.
    std::atomic<bool> untimed_wait{false};
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

// ---- The registry (port_table.cpp).
RecordPtr Find(RecordIndex index);
// A dispatcher thread that frees its own record parks itself to be joined.
void FreeAndBury(RecordIndex index, std::thread self);

// ---- Device helpers (port_table.cpp); none waits for long.
void AccumulateStatus(Record& rec, const platform::DeviceStatus& st);
void RefreshStatus(Record& rec);
int CurrentOutputCount(Record& rec);
std::uint8_t RefreshModemStatus(Record& rec, std::uint8_t keep_mask);

} // namespace tollander::serial
