// What every WindowThread shares, whatever loop it runs on: handing tasks
// over through its TaskQueue, running until terminated, and the table of
// its timers. An implementation adds only its loop: how it waits, wakes and
// learns of queued tasks, and how it ticks a timer (Rearm).
#pragma once

#include "platform/thread/task_queue.h"
#include "platform/thread/window_thread.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace tollander::platform {

class WindowThreadBase : public WindowThread {
public:
    void post(Task task) final;
    bool send(Task task, Millis limit) final;
    bool terminating() const final;
    // The front end's main loop: serves the loop until terminate().
    void run();

    TimerId add_timer(Millis interval, Task on_tick) final;
    void set_timer_interval(TimerId id, Millis interval) final;
    void start_timer(TimerId id) final;
    void stop_timer(TimerId id) final;
    bool timer_enabled(TimerId id) const final;
    void remove_timer(TimerId id) final;

protected:
    using Clock = std::chrono::steady_clock;

    // A timer's record, shared: a loop that still holds one (a tick in
    // flight, the system's list of timeouts) never touches freed memory.
    // Its settings are read through Setting().
    struct Timer {
        WindowThreadBase* owner = nullptr;
        TimerId id = 0;
        Task on_tick;
    };
    using TimerPtr = std::shared_ptr<Timer>;
    struct TimerSetting {
        bool enabled = false; // false too once removed
        Millis interval{};
        Clock::time_point due{}; // the next tick, counted from the last (re)start
    };

    // The queue the implementation keeps as its last member, so that it goes
    // first, while what its wake-up touches is still there.
    virtual const TaskQueue& queue() const = 0;
    TaskQueue& queue() { return const_cast<TaskQueue&>(std::as_const(*this).queue()); }

    // `timer` was started, stopped, given a new interval or removed: the loop
    // must tick it as Setting() now says. Called on any thread, without locks.
    virtual void Rearm(const TimerPtr& timer, bool removed) = 0;

    // Runs `change` at once on the window thread, else posts it there.
    void OnLoop(Task change);

    TimerPtr FindTimer(TimerId id) const;
    TimerSetting Setting(const Timer& timer) const;
    // Every timer still in the table.
    std::vector<TimerPtr> AllTimers() const;
    // The enabled timers due at `now`, their next tick moved on by their
    // interval; and the earliest tick to come (max when none).
    std::vector<TimerPtr> TakeDue(Clock::time_point now);
    Clock::time_point NextDue() const;

private:
    struct Entry {
        TimerPtr timer;
        TimerSetting setting;
    };
    // Applies `change` to the timer's setting under the lock; the timer, or
    // null when there is none.
    template <class Change> TimerPtr ChangeTimer(TimerId id, Change change);

    mutable std::mutex timer_mutex_;
    std::map<TimerId, Entry> timers_;
    TimerId next_timer_ = 1;
};

} // namespace tollander::platform
