#include "platform/headless_window_thread.h"

#include <vector>

namespace tollander::platform {

// A queued task. A sent task carries a state the sender waits on, so that a
// sender that gave up can cancel a task that has not started yet.
struct HeadlessWindowThread::Item {
    enum class State { queued, running, done, cancelled };
    Task task;
    bool sent = false;
    State state = State::queued;
};

HeadlessWindowThread::HeadlessWindowThread() : owner_(std::this_thread::get_id()) {}

HeadlessWindowThread::~HeadlessWindowThread() {
    terminate();
    // A sender still waiting (a dispatcher delivering a notice) has had its
    // task cancelled; let it leave before the queue it waits on is gone.
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return senders_ == 0; });
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
    auto item = std::make_shared<Item>();
    item->task = std::move(task);
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(item));
    }
    cv_.notify_all();
}

bool HeadlessWindowThread::send(Task task, Millis limit) {
    if (on_window_thread()) {
        task();
        return true;
    }
    auto item = std::make_shared<Item>();
    item->task = std::move(task);
    item->sent = true;
    std::unique_lock lock(mutex_);
    if (terminating_) return false;
    ++senders_;
    struct Leave {
        HeadlessWindowThread& self;
        ~Leave() {
            --self.senders_;
            self.cv_.notify_all();
        }
    } leave{*this};
    queue_.push_back(item);
    cv_.notify_all();
    const auto deadline = Clock::now() + limit;
    auto settled = [&] {
        return item->state == Item::State::done || item->state == Item::State::cancelled;
    };
    cv_.wait_until(lock, deadline, settled);
    if (item->state == Item::State::queued) item->state = Item::State::cancelled;
    if (item->state == Item::State::cancelled) return false;
    // Once started, a task is waited for to its end: the sender's data must
    // outlive it.
    cv_.wait(lock, [&] { return item->state == Item::State::done; });
    return true;
}

void HeadlessWindowThread::process_pending() {
    // Take what is ready now; what tasks queue while they run waits for the
    // next pass, so one pass always ends.
    std::vector<std::shared_ptr<Item>> tasks;
    std::vector<std::shared_ptr<Timer>> due;
    {
        std::lock_guard lock(mutex_);
        woken_ = false;
        tasks.assign(queue_.begin(), queue_.end());
        queue_.clear();
        const auto now = Clock::now();
        for (auto& [id, timer] : timers_) {
            if (timer->enabled && timer->due <= now) {
                timer->due = now + timer->interval;
                due.push_back(timer);
            }
        }
    }
    for (auto& item : tasks) {
        {
            std::lock_guard lock(mutex_);
            if (item->state == Item::State::cancelled) continue;
            item->state = Item::State::running;
        }
        item->task();
        if (item->sent) {
            std::lock_guard lock(mutex_);
            item->state = Item::State::done;
            cv_.notify_all();
        }
    }
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
    if (woken_ || !queue_.empty()) return true;
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
        while (!terminating_) {
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
    std::lock_guard lock(mutex_);
    terminating_ = true;
    // Senders still waiting for a task that will never run get their answer.
    for (auto& item : queue_)
        if (item->sent && item->state == Item::State::queued) item->state = Item::State::cancelled;
    cv_.notify_all();
}

bool HeadlessWindowThread::terminating() const {
    return terminating_;
}

void HeadlessWindowThread::run() {
    while (!terminating_) wait(Millis(60'000));
}

} // namespace tollander::platform
