#include "platform/thread/headless_window_thread.h"

#include <algorithm>
#include <vector>

namespace tollander::platform {

HeadlessWindowThread::HeadlessWindowThread() : owner_(std::this_thread::get_id()) {}

HeadlessWindowThread::~HeadlessWindowThread() {
    terminate();
}

void HeadlessWindowThread::cv_notify() {
    // Under the mutex: a wait() that found nothing ready is then asleep.
    { std::lock_guard lock(mutex_); }
    cv_.notify_all();
}

void HeadlessWindowThread::adopt_current_thread() {
    std::lock_guard lock(mutex_);
    owner_ = std::this_thread::get_id();
}

bool HeadlessWindowThread::on_window_thread() const {
    std::lock_guard lock(mutex_);
    return owner_ == std::this_thread::get_id();
}

void HeadlessWindowThread::process_pending() {
    // Timers due now; what tasks and timers queue while they run waits for
    // the next pass, so one pass always ends.
    {
        std::lock_guard lock(mutex_);
        woken_ = false;
    }
    const std::vector<TimerPtr> due = TakeDue(Clock::now());
    tasks_.run();
    for (const TimerPtr& timer : due) {
        // The timer may have been stopped by a task or an earlier timer.
        if (Setting(*timer).enabled) timer->on_tick();
    }
}

bool HeadlessWindowThread::something_ready_locked(Clock::time_point now) const {
    return woken_ || tasks_.has_tasks() || NextDue() <= now;
}

void HeadlessWindowThread::wait(Millis max) {
    {
        std::unique_lock lock(mutex_);
        const auto limit = Clock::now() + max;
        while (!tasks_.terminating()) {
            const auto now = Clock::now();
            if (something_ready_locked(now) || now >= limit) break;
            cv_.wait_until(lock, std::min(limit, NextDue()));
        }
    }
    process_pending();
}

void HeadlessWindowThread::wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    cv_.notify_all();
}

void HeadlessWindowThread::terminate() {
    tasks_.terminate();
    cv_notify();
}

} // namespace tollander::platform
