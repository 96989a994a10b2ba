#include "ui/fltk/fltk_window_thread.h"

#include <FL/Fl.H>

#include <set>
#include <vector>

namespace tollander::ui {

namespace {

// FLTK keeps an awake request until the loop serves it, possibly after the
// object that asked is gone: the handler only touches objects still alive.
std::mutex live_mutex;
std::set<const void*> live_threads;

double seconds(platform::Millis ms) {
    return static_cast<double>(ms.count()) / 1000.0;
}

} // namespace

struct FltkWindowThread::Timer {
    FltkWindowThread* owner = nullptr;
    TimerId id = 0;
    platform::Millis interval{};
    platform::Task on_tick;
    bool enabled = false;
};

FltkWindowThread::FltkWindowThread() : owner_(std::this_thread::get_id()) {
    // Makes Fl::awake() work from other threads; the loop releases the lock
    // while it waits.
    Fl::lock();
    std::lock_guard lock(live_mutex);
    live_threads.insert(this);
}

FltkWindowThread::~FltkWindowThread() {
    terminate();
    {
        std::lock_guard lock(live_mutex);
        live_threads.erase(this);
    }
    for (auto& [id, timer] : timers_)
        Fl::remove_timeout(on_timeout, timer.get());
    for (auto& timer : retired_)
        Fl::remove_timeout(on_timeout, timer.get());
    Fl::unlock();
}

bool FltkWindowThread::on_window_thread() const {
    return owner_ == std::this_thread::get_id();
}

void FltkWindowThread::on_awake(void* self) {
    std::unique_lock lock(live_mutex);
    if (live_threads.count(self) == 0) return;
    lock.unlock();
    static_cast<FltkWindowThread*>(self)->run_queued();
}

void FltkWindowThread::request_drain() {
    {
        std::lock_guard lock(mutex_);
        if (drain_requested_) return;
        drain_requested_ = true;
    }
    // One request at a time keeps FLTK's small ring of awake handlers from
    // filling up; a full ring still wakes the loop, whose wait() drains.
    if (Fl::awake(on_awake, this) != 0) {
        std::lock_guard lock(mutex_);
        drain_requested_ = false;
    }
}

void FltkWindowThread::post(platform::Task task) {
    tasks_.post(std::move(task));
}

bool FltkWindowThread::send(platform::Task task, platform::Millis limit) {
    if (on_window_thread()) {
        task();
        return true;
    }
    return tasks_.send(std::move(task), limit);
}

void FltkWindowThread::run_queued() {
    {
        std::lock_guard lock(mutex_);
        drain_requested_ = false;
    }
    tasks_.run();
}

void FltkWindowThread::process_pending() {
    Fl::check(); // input, painting, due timers, awake requests
    run_queued();
}

void FltkWindowThread::wait(platform::Millis max) {
    if (!tasks_.terminating() && max.count() > 0) Fl::wait(seconds(max));
    process_pending();
}

void FltkWindowThread::wake() {
    Fl::awake(static_cast<void*>(nullptr));
}

void FltkWindowThread::run() {
    while (!tasks_.terminating())
        wait(platform::Millis(60'000));
}

void FltkWindowThread::on_timeout(void* data) {
    auto* timer = static_cast<Timer*>(data);
    timer->owner->fire(timer->id);
}

void FltkWindowThread::fire(TimerId id) {
    std::shared_ptr<Timer> timer;
    {
        std::lock_guard lock(mutex_);
        auto it = timers_.find(id);
        if (it == timers_.end() || !it->second->enabled) return;
        timer = it->second;
        // Rearmed before the tick runs: a tick that stops, restarts or
        // retimes its own timer has the last word.
        arm_locked(*timer);
    }
    timer->on_tick();
}

void FltkWindowThread::arm_locked(Timer& timer) {
    Fl::remove_timeout(on_timeout, &timer);
    if (timer.enabled) Fl::add_timeout(seconds(timer.interval), on_timeout, &timer);
}

void FltkWindowThread::on_loop(platform::Task change) {
    if (on_window_thread())
        change();
    else
        post(std::move(change));
}

platform::WindowThread::TimerId FltkWindowThread::add_timer(platform::Millis interval,
                                                            platform::Task on_tick) {
    auto timer = std::make_shared<Timer>();
    timer->owner = this;
    timer->interval = interval;
    timer->on_tick = std::move(on_tick);
    std::lock_guard lock(mutex_);
    timer->id = next_timer_++;
    timers_[timer->id] = timer;
    return timer->id;
}

std::shared_ptr<FltkWindowThread::Timer>
FltkWindowThread::change_timer(TimerId id, const std::function<void(Timer&)>& change) {
    std::lock_guard lock(mutex_);
    auto it = timers_.find(id);
    if (it == timers_.end()) return nullptr;
    change(*it->second);
    return it->second;
}

void FltkWindowThread::rearm_on_loop(std::shared_ptr<Timer> timer) {
    if (!timer) return;
    on_loop([this, timer] {
        std::lock_guard lock(mutex_);
        arm_locked(*timer);
    });
}

void FltkWindowThread::set_timer_interval(TimerId id, platform::Millis interval) {
    rearm_on_loop(change_timer(id, [&](Timer& t) { t.interval = interval; }));
}

void FltkWindowThread::start_timer(TimerId id) {
    rearm_on_loop(change_timer(id, [](Timer& t) { t.enabled = true; }));
}

void FltkWindowThread::stop_timer(TimerId id) {
    auto timer = change_timer(id, [](Timer& t) { t.enabled = false; });
    if (timer) on_loop([timer] { Fl::remove_timeout(on_timeout, timer.get()); });
}

bool FltkWindowThread::timer_enabled(TimerId id) const {
    std::lock_guard lock(mutex_);
    auto it = timers_.find(id);
    return it != timers_.end() && it->second->enabled;
}

void FltkWindowThread::remove_timer(TimerId id) {
    std::shared_ptr<Timer> timer;
    {
        std::lock_guard lock(mutex_);
        auto it = timers_.find(id);
        if (it == timers_.end()) return;
        timer = it->second;
        timer->enabled = false;
        timers_.erase(it);
        // Kept until the end: FLTK may still hold its address.
        retired_.push_back(timer);
    }
    on_loop([timer] { Fl::remove_timeout(on_timeout, timer.get()); });
}

void FltkWindowThread::terminate() {
    tasks_.terminate();
    Fl::awake(static_cast<void*>(nullptr));
}

bool FltkWindowThread::terminating() const {
    return tasks_.terminating();
}

} // namespace tollander::ui
