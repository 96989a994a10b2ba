// Time-outs of the serial layer are counted in ticks of 55 ms, taken from the
// platform's 31-bit millisecond counter.
#pragma once

#include <cstdint>

namespace tollander::serial {

inline constexpr std::int32_t kTickMillis = 55;
// The number of 55 ms ticks in 2^31 ms: the counter's wrap, and the longest
// time-out a timer takes.
inline constexpr std::int32_t kMaxTicks = 39045157;

std::int32_t TicksNow();
inline std::int32_t SecsToTicks(std::int32_t secs) {
    return static_cast<std::int32_t>(std::int64_t{secs} * 1675 / 92);
}
inline std::int32_t TicksToSecs(std::int32_t ticks) {
    return static_cast<std::int32_t>((std::int64_t{ticks} + 9) * 92 / 1675);
}

struct TickTimer {
    std::int32_t StartTicks = 0;
    std::int32_t EndTicks = 0;

    void Start(std::int32_t ticks) { StartAt(ticks, TicksNow()); }
    bool RunOut() const { return RunOutAt(TicksNow()); }
    std::int32_t Elapsed() const { return ElapsedAt(TicksNow()); }

    // The same with the current tick count given.
    void StartAt(std::int32_t ticks, std::int32_t now);
    bool RunOutAt(std::int32_t now) const;
    std::int32_t ElapsedAt(std::int32_t now) const;

    // Milliseconds until RunOut() can first become true (0 when it is), for a
    // wait that should wake just in time.
    std::int64_t MillisLeft() const;
};

} // namespace tollander::serial
