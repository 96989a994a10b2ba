#include "serial/tick_timer.h"

#include "platform/thread/clock.h"

namespace tollander::serial {

std::int32_t TicksNow() {
    return static_cast<std::int32_t>(platform::MillisecondsNow() / kTickMillis);
}

void TickTimer::StartAt(std::int32_t ticks, std::int32_t now) {
    if (ticks > kMaxTicks) ticks = kMaxTicks;
    StartTicks = now;
    EndTicks = now + ticks;
}

bool TickTimer::RunOutAt(std::int32_t now) const {
    if (now > EndTicks) return true;
    // The counter wrapped since the start.
    if (now < StartTicks) return now + kMaxTicks > EndTicks;
    return false;
}

std::int32_t TickTimer::ElapsedAt(std::int32_t now) const {
    return now < StartTicks ? now - StartTicks + kMaxTicks : now - StartTicks;
}

std::int64_t TickTimer::MillisLeft() const {
    const std::int64_t now_ms = platform::MillisecondsNow();
    const auto now = static_cast<std::int32_t>(now_ms / kTickMillis);
    if (RunOutAt(now)) return 0;
    // The first tick after the end; on a wrapped counter it lies one wrap lower.
    std::int64_t target = std::int64_t{EndTicks} + 1;
    if (now < StartTicks) target -= kMaxTicks;
    const std::int64_t left = target * kTickMillis - now_ms;
    return left < 1 ? 1 : left;
}

} // namespace tollander::serial
