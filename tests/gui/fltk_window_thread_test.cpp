#include "ui/fltk/fltk_window_thread.h"

#include <FL/Fl.H>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace tollander;
using namespace std::chrono_literals;
using ui::FltkWindowThread;

TEST(FltkWindowThread, SendFromOtherThreadRunsOnTheWindowThread) {
    FltkWindowThread wt;
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

TEST(FltkWindowThread, SendOnTheWindowThreadRunsAtOnce) {
    FltkWindowThread wt;
    bool ran = false;
    EXPECT_TRUE(wt.send([&] { ran = true; }, 0ms));
    EXPECT_TRUE(ran);
}

TEST(FltkWindowThread, SendThatTimesOutNeverRunsAndTerminateReleasesASender) {
    FltkWindowThread wt;
    std::atomic<bool> ran{false};
    bool sent = true;
    std::thread late([&] { sent = wt.send([&] { ran = true; }, 20ms); });
    late.join(); // the loop never ran meanwhile
    wt.process_pending();
    EXPECT_FALSE(sent);
    EXPECT_FALSE(ran);

    std::atomic<int> result{-1};
    std::thread waiting([&] { result = wt.send([] {}, 3600s) ? 1 : 0; });
    wt.terminate();
    waiting.join();
    EXPECT_EQ(result, 0);
}

TEST(FltkWindowThread, PostedTasksRunInOrderAndWakeEndsAWait) {
    FltkWindowThread wt;
    std::vector<int> order;
    wt.post([&] { order.push_back(1); });
    wt.post([&] { order.push_back(2); });
    wt.process_pending();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));

    std::thread waker([&] { wt.wake(); });
    wt.wait(3600s); // returns because of wake(), not the limit
    waker.join();
}

TEST(FltkWindowThread, TasksReachALoopNestedInAModalDialog) {
    // A modal dialog runs FLTK's own loop, not ours; a notice sent from the
    // serial thread meanwhile must still be served within its limit.
    FltkWindowThread wt;
    std::atomic<bool> served{false};
    bool dialog_closed = false;
    wt.post([&] {
        std::thread dispatcher([&] { served = wt.send([&] { dialog_closed = true; }, 30s); });
        while (!dialog_closed)
            Fl::wait(3600.0);
        dispatcher.join();
    });
    wt.process_pending();
    EXPECT_TRUE(served);
}

TEST(FltkWindowThread, TimerRepeatsStopsItselfAndIsNotReenteredByANestedWait) {
    FltkWindowThread wt;
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

TEST(FltkWindowThread, RemovedTimerAndDestroyedLoopLeaveNothingBehind) {
    std::atomic<bool> posted{false};
    {
        FltkWindowThread first;
        int ticks = 0;
        auto id = first.add_timer(1ms, [&] { ++ticks; });
        first.start_timer(id);
        first.remove_timer(id);
        // An awake request that the first loop never serves.
        std::thread other([&] {
            first.post([] {});
            posted = true;
        });
        other.join();
        EXPECT_EQ(ticks, 0);
    }
    ASSERT_TRUE(posted);
    FltkWindowThread second;
    bool ran = false;
    second.post([&] { ran = true; });
    while (!ran)
        second.wait(1s); // serves the stale request harmlessly first
}
