#include "serial/stall_watch.h"

#include <algorithm>

namespace tollander::serial {

namespace {
constexpr std::int64_t kPeriodMs = kStallWatchPeriod.count();
}

StallWatch::StallWatch(StallClock clock) : clock_(std::move(clock)), last_look_(clock_()) {
    thread_ = std::thread([this] { Run(); });
}

StallWatch::~StallWatch() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void StallWatch::Run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, kStallWatchPeriod);
        if (stop_) break;
        const std::int64_t now = clock_();
        longest_ = std::max(longest_, now - last_look_ - kPeriodMs);
        last_look_ = now;
    }
}

std::int64_t StallWatch::TakeLongestStill() {
    std::lock_guard lock(mutex_);
    // After a stop the watch thread may not have looked yet: its overdue look
    // tells the same.
    const std::int64_t overdue = clock_() - last_look_ - kPeriodMs;
    const std::int64_t longest = std::max(longest_, overdue);
    longest_ = 0;
    return std::max<std::int64_t>(longest, 0);
}

} // namespace tollander::serial
