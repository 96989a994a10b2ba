#include "platform/thread/window_thread_base.h"

#include <algorithm>
#include <utility>

namespace tollander::platform {

void WindowThreadBase::post(Task task) {
    queue().post(std::move(task));
}

bool WindowThreadBase::send(Task task, Millis limit) {
    if (on_window_thread()) {
        task();
        return true;
    }
    return queue().send(std::move(task), limit);
}

bool WindowThreadBase::terminating() const {
    return queue().terminating();
}

void WindowThreadBase::run() {
    while (!terminating())
        wait(Millis(60'000));
}

void WindowThreadBase::OnLoop(Task change) {
    if (on_window_thread())
        change();
    else
        post(std::move(change));
}

WindowThread::TimerId WindowThreadBase::add_timer(Millis interval, Task on_tick) {
    auto timer = std::make_shared<Timer>();
    timer->owner = this;
    timer->on_tick = std::move(on_tick);
    std::lock_guard lock(timer_mutex_);
    timer->id = next_timer_++;
    TimerSetting setting;
    setting.interval = interval;
    timers_[timer->id] = Entry{timer, setting};
    return timer->id;
}

template <class Change> WindowThreadBase::TimerPtr WindowThreadBase::ChangeTimer(TimerId id, Change change) {
    std::lock_guard lock(timer_mutex_);
    auto it = timers_.find(id);
    if (it == timers_.end()) return nullptr;
    change(it->second.setting);
    return it->second.timer;
}

void WindowThreadBase::set_timer_interval(TimerId id, Millis interval) {
    const auto timer = ChangeTimer(id, [&](TimerSetting& s) {
        s.interval = interval;
        if (s.enabled) s.due = Clock::now() + interval;
    });
    if (timer) Rearm(timer, false);
}

void WindowThreadBase::start_timer(TimerId id) {
    const auto timer = ChangeTimer(id, [](TimerSetting& s) {
        s.enabled = true;
        s.due = Clock::now() + s.interval;
    });
    if (timer) Rearm(timer, false);
}

void WindowThreadBase::stop_timer(TimerId id) {
    const auto timer = ChangeTimer(id, [](TimerSetting& s) { s.enabled = false; });
    if (timer) Rearm(timer, false);
}

bool WindowThreadBase::timer_enabled(TimerId id) const {
    std::lock_guard lock(timer_mutex_);
    auto it = timers_.find(id);
    return it != timers_.end() && it->second.setting.enabled;
}

void WindowThreadBase::remove_timer(TimerId id) {
    TimerPtr timer;
    {
        std::lock_guard lock(timer_mutex_);
        auto it = timers_.find(id);
        if (it == timers_.end()) return;
        timer = std::move(it->second.timer);
        timers_.erase(it);
    }
    Rearm(timer, true);
}

WindowThreadBase::TimerPtr WindowThreadBase::FindTimer(TimerId id) const {
    std::lock_guard lock(timer_mutex_);
    auto it = timers_.find(id);
    return it == timers_.end() ? nullptr : it->second.timer;
}

WindowThreadBase::TimerSetting WindowThreadBase::Setting(const Timer& timer) const {
    std::lock_guard lock(timer_mutex_);
    auto it = timers_.find(timer.id);
    // A removed timer (or another under a reused number: none, numbers
    // only grow) is off.
    if (it == timers_.end() || it->second.timer.get() != &timer) return {};
    return it->second.setting;
}

std::vector<WindowThreadBase::TimerPtr> WindowThreadBase::AllTimers() const {
    std::lock_guard lock(timer_mutex_);
    std::vector<TimerPtr> all;
    for (const auto& [id, entry] : timers_)
        all.push_back(entry.timer);
    return all;
}

std::vector<WindowThreadBase::TimerPtr> WindowThreadBase::TakeDue(Clock::time_point now) {
    std::lock_guard lock(timer_mutex_);
    std::vector<TimerPtr> due;
    for (auto& [id, entry] : timers_) {
        if (entry.setting.enabled && entry.setting.due <= now) {
            entry.setting.due = now + entry.setting.interval;
            due.push_back(entry.timer);
        }
    }
    return due;
}

WindowThreadBase::Clock::time_point WindowThreadBase::NextDue() const {
    std::lock_guard lock(timer_mutex_);
    auto next = Clock::time_point::max();
    for (const auto& [id, entry] : timers_)
        if (entry.setting.enabled) next = std::min(next, entry.setting.due);
    return next;
}

} // namespace tollander::platform
