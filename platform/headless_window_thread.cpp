#include "platform/headless_window_thread.h"

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

void HeadlessWindowThread::post(Task task) {
    tasks_.post(std::move(task));
}

bool HeadlessWindowThread::send(Task task, Millis limit) {
    if (on_window_thread()) {
        task();
        return true;
    }
    return tasks_.send(std::move(task), limit);
}

void HeadlessWindowThread::process_pending() {
    // Timers due now; what tasks and timers queue while they run waits for
    // the next pass, so one pass always ends.
    std::vector<std::shared_ptr<Timer>> due;
    {
        std::lock_guard lock(mutex_);
        woken_ = false;
        const auto now = Clock::now();
        for (auto& [id, timer] : timers_) {
            if (timer->enabled && timer->due <= now) {
                timer->due = now + timer->interval;
                due.push_back(timer);
            }
        }
    }
    tasks_.run();
    for (auto& timer : due) {
        {
            // The timer may have been stopped by a task or an earlier timer.
            std::lock_guard lock(mutex_);
            if (!timer->enabled) continue;
        }
        timer->on_tick();
    }
}

bool HeadlessWindowThread::something_ready_locked(Clock::time_point now) const {
    if (woken_ || tasks_.has_tasks()) return true;
    for (const auto& [id, timer] : timers_)
        if (timer->enabled && timer->due <= now) return true;
    return false;
}

HeadlessWindowThread::Clock::time_point HeadlessWindowThread::next_deadline_locked() const {
    auto next = Clock::time_point::max();
    for (const auto& [id, timer] : timers_)
        if (timer->enabled && timer->due < next) next = timer->due;
    return next;
}

void HeadlessWindowThread::wait(Millis max) {
    {
        std::unique_lock lock(mutex_);
        const auto limit = Clock::now() + max;
        while (!tasks_.terminating()) {
            const auto now = Clock::now();
            if (something_ready_locked(now) || now >= limit) break;
            cv_.wait_until(lock, std::min(limit, next_deadline_locked()));
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

WindowThread::TimerId HeadlessWindowThread::add_timer(Millis interval, Task on_tick) {
    auto timer = std::make_shared<Timer>();
    timer->interval = interval;
    timer->on_tick = std::move(on_tick);
    std::lock_guard lock(mutex_);
    const TimerId id = next_timer_++;
    timers_[id] = std::move(timer);
    return id;
}

void HeadlessWindowThread::set_timer_interval(TimerId id, Millis interval) {
    std::lock_guard lock(mutex_);
    if (auto it = timers_.find(id); it != timers_.end()) {
        it->second->interval = interval;
        if (it->second->enabled) it->second->due = Clock::now() + interval;
    }
}

void HeadlessWindowThread::start_timer(TimerId id) {
    {
        std::lock_guard lock(mutex_);
        auto it = timers_.find(id);
        if (it == timers_.end()) return;
        it->second->enabled = true;
        it->second->due = Clock::now() + it->second->interval;
    }
    cv_.notify_all();
}

void HeadlessWindowThread::stop_timer(TimerId id) {
    std::lock_guard lock(mutex_);
    if (auto it = timers_.find(id); it != timers_.end()) it->second->enabled = false;
}

bool HeadlessWindowThread::timer_enabled(TimerId id) const {
    std::lock_guard lock(mutex_);
    auto it = timers_.find(id);
    return it != timers_.end() && it->second->enabled;
}

void HeadlessWindowThread::remove_timer(TimerId id) {
    std::lock_guard lock(mutex_);
    if (auto it = timers_.find(id); it != timers_.end()) {
        it->second->enabled = false;
        timers_.erase(it);
    }
}

void HeadlessWindowThread::terminate() {
    tasks_.terminate();
    cv_notify();
}

bool HeadlessWindowThread::terminating() const {
    return tasks_.terminating();
}

void HeadlessWindowThread::run() {
    while (!tasks_.terminating()) wait(Millis(60'000));
}

} // namespace tollander::platform
