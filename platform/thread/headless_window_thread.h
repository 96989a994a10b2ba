// WindowThread without a display: for tests and the console front end. The
// thread that constructs it is the window thread.
#pragma once

#include "platform/thread/task_queue.h"
#include "platform/thread/window_thread_base.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace tollander::platform {

class HeadlessWindowThread final : public WindowThreadBase {
public:
    HeadlessWindowThread();
    ~HeadlessWindowThread() override;

    void process_pending() override;
    void wait(Millis max) override;
    void wake() override;
    bool on_window_thread() const override;
    void terminate() override;

    // Makes the calling thread the window thread (a test that builds the
    // object on one thread and runs the loop on another).
    void adopt_current_thread();

private:
    const TaskQueue& queue() const override { return tasks_; }
    // A waiting loop recomputes its deadline.
    void Rearm(const TimerPtr&, bool) override { cv_notify(); }
    bool something_ready_locked(Clock::time_point now) const;
    void cv_notify();

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
    std::thread::id owner_;
    // After the mutex and the condition variable it wakes: gone first.
    TaskQueue tasks_{[this] { cv_notify(); }};
};

} // namespace tollander::platform
