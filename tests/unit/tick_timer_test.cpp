// The tick timer of the serial layer's waits: 18.2 ticks a second, and a
// count that wraps.
#include "serial/tick_timer.h"

#include <gtest/gtest.h>

namespace tollander::serial {
namespace {

TEST(TickTimer, RunsOutAfterItsTicksAndAcrossTheWrap) {
    TickTimer t;
    t.StartAt(0, 100);
    EXPECT_FALSE(t.RunOutAt(100)); // a zero timer waits for the next tick
    EXPECT_TRUE(t.RunOutAt(101));
    t.StartAt(36, 1000);
    EXPECT_FALSE(t.RunOutAt(1036));
    EXPECT_TRUE(t.RunOutAt(1037));
    EXPECT_EQ(t.ElapsedAt(1010), 10);
    t.StartAt(10, kMaxTicks - 5); // ends past the wrap
    EXPECT_FALSE(t.RunOutAt(kMaxTicks - 1));
    EXPECT_FALSE(t.RunOutAt(4));
    EXPECT_TRUE(t.RunOutAt(6));
    EXPECT_EQ(t.ElapsedAt(2), 7);
    t.StartAt(kMaxTicks + 100, 0);
    EXPECT_EQ(t.EndTicks, kMaxTicks);
    EXPECT_EQ(SecsToTicks(10), 182);
    EXPECT_EQ(TicksToSecs(182), 10);
}

} // namespace
} // namespace tollander::serial
