// Whether this program stood still. While it runs, a watch thread looks at
// a monotonic clock every kStallWatchPeriod; a look that comes much later
// than asked means that nothing of the program ran meanwhile (the process
// was stopped, the machine suspended), whatever its other threads were
// waiting for. A sender asks before each write how long that was at most
// since it last asked.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace tollander::serial {

// Monotonic milliseconds; platform::MonotonicMilliseconds unless a test
// moves a clock of its own.
using StallClock = std::function<std::int64_t()>;

inline constexpr std::chrono::milliseconds kStallWatchPeriod{100};

class StallWatch {
public:
    explicit StallWatch(StallClock clock);
    ~StallWatch(); // stops the watch thread
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    // The longest time the program stood still since the watch began or
    // this was last asked, in milliseconds; a look that is overdue now
    // counts as far as it is overdue.
    std::int64_t TakeLongestStill();

private:
    void Run();

    StallClock clock_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::int64_t last_look_ = 0;
    std::int64_t longest_ = 0;
    std::thread thread_;
};

} // namespace tollander::serial
