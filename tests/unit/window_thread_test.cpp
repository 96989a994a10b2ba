#include "platform/headless_window_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace tollander::platform;
using namespace std::chrono_literals;

TEST(HeadlessWindowThread, SendFromOtherThreadRunsOnWindowThread) {
    HeadlessWindowThread wt;
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

TEST(HeadlessWindowThread, SendOnWindowThreadRunsAtOnce) {
    HeadlessWindowThread wt;
    bool ran = false;
    EXPECT_TRUE(wt.send([&] { ran = true; }, 0ms));
    EXPECT_TRUE(ran);
}

TEST(HeadlessWindowThread, SendThatTimesOutNeverRuns) {
    HeadlessWindowThread wt;
    std::atomic<bool> ran{false};
    bool sent = true;
    std::thread other([&] { sent = wt.send([&] { ran = true; }, 20ms); });
    other.join(); // the window thread never looked at its queue
    wt.process_pending();
    EXPECT_FALSE(sent);
    EXPECT_FALSE(ran);
}

TEST(HeadlessWindowThread, TerminateReleasesAWaitingSender) {
    HeadlessWindowThread wt;
    std::atomic<int> result{-1};
    // Whether the task is queued before or after terminate(), the sender
    // gets "not run" and does not wait out its hour.
    std::thread other([&] { result = wt.send([] {}, 3600s) ? 1 : 0; });
    wt.terminate();
    other.join();
    EXPECT_EQ(result, 0);
}

TEST(HeadlessWindowThread, PostedTasksRunInOrderAndWakeEndsAWait) {
    HeadlessWindowThread wt;
    std::vector<int> order;
    wt.post([&] { order.push_back(1); });
    wt.post([&] { order.push_back(2); });
    wt.process_pending();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));

    std::thread waker([&] { wt.wake(); });
    wt.wait(3600s); // returns because of wake(), not the limit
    waker.join();
}

TEST(HeadlessWindowThread, TimerRepeatsAndCanStopItself) {
    HeadlessWindowThread wt;
    int ticks = 0;
    WindowThread::TimerId id = 0;
    id = wt.add_timer(1ms, [&] {
        if (++ticks == 3) wt.stop_timer(id);
    });
    EXPECT_FALSE(wt.timer_enabled(id));
    wt.start_timer(id);
    while (wt.timer_enabled(id)) wt.wait(1s);
    EXPECT_EQ(ticks, 3);
}
