#include "ui/fltk/fltk_window_thread.h"
#include "tests/common/window_thread_contract.h"

#include <FL/Fl.H>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace tollander;
using namespace std::chrono_literals;
using ui::FltkWindowThread;

namespace tollander::testing {
INSTANTIATE_TYPED_TEST_SUITE_P(Fltk, WindowThreadContract, FltkWindowThread);
} // namespace tollander::testing

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
