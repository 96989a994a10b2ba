#include "ui/win32/win32_window_thread.h"
#include "tests/common/window_thread_contract.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;
using tollander::ui::Win32WindowThread;

namespace tollander::testing {
INSTANTIATE_TYPED_TEST_SUITE_P(Win32, WindowThreadContract, Win32WindowThread);
} // namespace tollander::testing

namespace {

// The system's own modal loops (a message box, a menu being tracked) pump
// messages without us: a loop of plain GetMessage and DispatchMessage stands
// in for them.
void SystemModalLoop(const std::atomic<bool>& done) {
    MSG msg;
    while (!done && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

} // namespace

TEST(Win32WindowThread, SentTasksAndTimersReachTheSystemsOwnModalLoop) {
    Win32WindowThread wt;
    std::atomic<bool> served{false};
    std::atomic<bool> ticked{false};
    std::atomic<bool> done{false};
    const auto timer = wt.add_timer(1ms, [&] {
        ticked = true;
        if (served) done = true;
    });
    wt.post([&] {
        wt.start_timer(timer);
        std::thread dispatcher([&] { served = wt.send([] {}, 30s); });
        SystemModalLoop(done);
        dispatcher.join();
    });
    wt.process_pending();
    EXPECT_TRUE(served);
    EXPECT_TRUE(ticked);
}

TEST(Win32WindowThread, ARemovedOrStoppedTimerNeverTicksAgain) {
    Win32WindowThread wt;
    int removed_ticks = 0;
    int stopped_ticks = 0;
    int witness_ticks = 0;
    const auto removed = wt.add_timer(1ms, [&] { ++removed_ticks; });
    const auto stopped = wt.add_timer(1ms, [&] { ++stopped_ticks; });
    const auto witness = wt.add_timer(5ms, [&] { ++witness_ticks; });
    wt.start_timer(removed);
    wt.start_timer(stopped);
    wt.remove_timer(removed);
    wt.stop_timer(stopped);
    // From another thread, too: the change is handed to the window thread.
    std::thread other([&] { wt.start_timer(witness); });
    other.join();
    while (witness_ticks < 5)
        wt.wait(1s);
    EXPECT_EQ(removed_ticks, 0);
    EXPECT_EQ(stopped_ticks, 0);
    EXPECT_FALSE(wt.timer_enabled(removed));
}

TEST(Win32WindowThread, ASecondLoopAfterTheFirstIsGone) {
    {
        Win32WindowThread first;
        first.post([] {}); // its message is never served
    }
    Win32WindowThread second;
    bool ran = false;
    second.post([&] { ran = true; });
    while (!ran)
        second.wait(1s);
}
