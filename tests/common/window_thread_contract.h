// The window-thread contract, as every implementation must keep it. A test
// file instantiates the suite for its implementation:
//   INSTANTIATE_TYPED_TEST_SUITE_P(Headless, WindowThreadContract, HeadlessWindowThread);
#pragma once

#include "platform/thread/window_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace tollander::testing {

using namespace std::chrono_literals;

template <typename Loop> class WindowThreadContract : public ::testing::Test {};
TYPED_TEST_SUITE_P(WindowThreadContract);

TYPED_TEST_P(WindowThreadContract, SendFromOtherThreadRunsOnTheWindowThread) {
    TypeParam wt;
    std::atomic<bool> ran_here{false};
    std::atomic<bool> sent{false};
    std::thread other([&] {
        sent = wt.send([&] { ran_here = wt.on_window_thread(); }, 10s);
        wt.terminate();
    });
    wt.run();
    other.join();
    EXPECT_TRUE(sent);
    EXPECT_TRUE(ran_here);
}

TYPED_TEST_P(WindowThreadContract, SendOnTheWindowThreadRunsAtOnce) {
    TypeParam wt;
    bool ran = false;
    EXPECT_TRUE(wt.send([&] { ran = true; }, 0ms));
    EXPECT_TRUE(ran);
}

TYPED_TEST_P(WindowThreadContract, SendThatTimesOutNeverRunsAndTerminateReleasesASender) {
    TypeParam wt;
    std::atomic<bool> ran{false};
    bool sent = true;
    std::thread late([&] { sent = wt.send([&] { ran = true; }, 20ms); });
    late.join(); // the loop never ran meanwhile
    wt.process_pending();
    EXPECT_FALSE(sent);
    EXPECT_FALSE(ran);

    // Whether the task is queued before or after terminate(), the sender
    // gets "not run" and does not wait out its hour.
    std::atomic<int> result{-1};
    std::thread waiting([&] { result = wt.send([] {}, 3600s) ? 1 : 0; });
    wt.terminate();
    waiting.join();
    EXPECT_EQ(result, 0);
}

TYPED_TEST_P(WindowThreadContract, PostedTasksRunInOrderAndWakeEndsAWait) {
    TypeParam wt;
    std::vector<int> order;
    wt.post([&] { order.push_back(1); });
    wt.post([&] { order.push_back(2); });
    wt.process_pending();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));

    std::thread waker([&] { wt.wake(); });
    wt.wait(3600s); // returns because of wake(), not the limit
    waker.join();
}

TYPED_TEST_P(WindowThreadContract, TimerRepeatsStopsItselfAndIsNotReenteredByANestedWait) {
    TypeParam wt;
    int ticks = 0;
    int depth = 0;
    int deepest = 0;
    platform::WindowThread::TimerId id = 0;
    id = wt.add_timer(1ms, [&] {
        ++depth;
        deepest = std::max(deepest, depth);
        // Like a step: stop the timer, wait a little, start it again.
        wt.stop_timer(id);
        for (int i = 0; i < 3; ++i)
            wt.wait(2ms);
        if (++ticks < 3) wt.start_timer(id);
        --depth;
    });
    EXPECT_FALSE(wt.timer_enabled(id));
    wt.start_timer(id);
    EXPECT_TRUE(wt.timer_enabled(id));
    while (ticks < 3)
        wt.wait(1s);
    EXPECT_FALSE(wt.timer_enabled(id));
    EXPECT_EQ(deepest, 1);
}

REGISTER_TYPED_TEST_SUITE_P(WindowThreadContract, SendFromOtherThreadRunsOnTheWindowThread,
                            SendOnTheWindowThreadRunsAtOnce,
                            SendThatTimesOutNeverRunsAndTerminateReleasesASender,
                            PostedTasksRunInOrderAndWakeEndsAWait,
                            TimerRepeatsStopsItselfAndIsNotReenteredByANestedWait);

} // namespace tollander::testing
