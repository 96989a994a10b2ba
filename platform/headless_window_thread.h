// WindowThread without a display: for tests and the console front end. The
// thread that constructs it is the window thread.
#pragma once

#include "platform/task_queue.h"
#include "platform/window_thread.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace tollander::platform {

class HeadlessWindowThread final : public WindowThread {
public:
    HeadlessWindowThread();
    ~HeadlessWindowThread() override;

    void post(Task task) override;
    bool send(Task task, Millis limit) override;
    void process_pending() override;
    void wait(Millis max) override;
    void wake() override;

    TimerId add_timer(Millis interval, Task on_tick) override;
    void set_timer_interval(TimerId id, Millis interval) override;
    void start_timer(TimerId id) override;
    void stop_timer(TimerId id) override;
    bool timer_enabled(TimerId id) const override;
    void remove_timer(TimerId id) override;

    bool on_window_thread() const override;
    void terminate() override;
    bool terminating() const override;

    // Makes the calling thread the window thread (a test that builds the
    // object on one thread and runs the loop on another).
    void adopt_current_thread();

    // Runs the loop until terminate(): the console front end's main loop.
    void run();

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        Millis interval;
        Task on_tick;
        bool enabled = false;
        Clock::time_point due{};
    };

    bool something_ready_locked(Clock::time_point now) const;
    Clock::time_point next_deadline_locked() const;

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::map<TimerId, std::shared_ptr<Timer>> timers_;
    TimerId next_timer_ = 1;
    bool woken_ = false;
    std::thread::id owner_;
    // After the mutex and the condition variable it wakes: gone first.
    TaskQueue tasks_{[this] { cv_notify(); }};

    void cv_notify();
};

} // namespace tollander::platform
