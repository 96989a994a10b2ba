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
    for (const TimerPtr& timer : AllTimers())
        Fl::remove_timeout(on_timeout, timer.get());
    for (const TimerPtr& timer : retired_)
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

void FltkWindowThread::on_timeout(void* data) {
    auto* timer = static_cast<Timer*>(data);
    static_cast<FltkWindowThread*>(timer->owner)->fire(*timer);
}

void FltkWindowThread::fire(Timer& timer) {
    if (!Setting(timer).enabled) return;
    // Rearmed before the tick runs: a tick that stops, restarts or retimes
    // its own timer has the last word.
    arm(timer);
    timer.on_tick();
}

// On the window thread only.
void FltkWindowThread::arm(Timer& timer) {
    Fl::remove_timeout(on_timeout, &timer);
    const TimerSetting setting = Setting(timer);
    if (setting.enabled) Fl::add_timeout(seconds(setting.interval), on_timeout, &timer);
}

void FltkWindowThread::Rearm(const TimerPtr& timer, bool removed) {
    if (removed) {
        std::lock_guard lock(mutex_);
        retired_.push_back(timer);
    }
    OnLoop([this, timer] { arm(*timer); });
}

void FltkWindowThread::terminate() {
    tasks_.terminate();
    Fl::awake(static_cast<void*>(nullptr));
}

} // namespace tollander::ui
