// The console's Ctrl+C and Ctrl+Break while a StopSignals lives. Ctrl+C is
// raised for real, in this program started again as a child with a console
// of its own (no window); Wine cannot raise Ctrl+Break
// (GenerateConsoleCtrlEvent refuses it), so what the routine does with each
// console event is also asked of it directly.
#include "platform/console/stop_signals.h"
#include "platform/fs/self_path.h"
#include "platform/text_win32.h"
#include "tests/common/test_main.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <csignal>
#include <string>
#include <vector>

namespace tollander::platform {
namespace {

constexpr DWORD kChildWaitMs = 30000; // a guard only

// Ctrl+C reaches the handler, which keeps the process: kHeld when the
// handler got SIGINT as "Ctrl+C", 3 when nothing came. (Not 0: Wine's own
// Ctrl+C handling ends a process with 0.)
constexpr int kHeld = 10;
const testing::ChildRole kHeldRole("ctrl-c-held", [] {
    const HANDLE came = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    int signal = 0;
    std::string name;
    StopSignals stop;
    stop.SetHandler([&](int s, const std::string& n) {
        signal = s;
        name = n;
        ::SetEvent(came);
    });
    if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return 2;
    if (::WaitForSingleObject(came, kChildWaitMs) != WAIT_OBJECT_0) return 3;
    return signal == SIGINT && name == "Ctrl+C" ? kHeld : 1;
});

// Without a handler Ctrl+C ends the process as SIGINT would (128 + 2).
const testing::ChildRole kDefaultRole("ctrl-c-default", [] {
    StopSignals stop;
    if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return 2;
    ::Sleep(kChildWaitMs);
    return 3;
});

// Runs this program in `role` with a console of its own; its exit status.
int RunWithConsole(const char* role) {
    std::wstring command = L"\"" + win32::Widen(SelfPath()) + L"\" " +
                           win32::Widen(testing::kChildSwitch) + L" " +
                           win32::Widen(role);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &child))
        return -1;
    ::CloseHandle(child.hThread);
    DWORD code = 0;
    if (::WaitForSingleObject(child.hProcess, 2 * kChildWaitMs) != WAIT_OBJECT_0)
        ::TerminateProcess(child.hProcess, 99);
    ::GetExitCodeProcess(child.hProcess, &code);
    ::CloseHandle(child.hProcess);
    return static_cast<int>(code);
}

TEST(ConsoleStopEvents, CtrlCFromTheConsoleGoesToTheHandlerOrEndsTheProgram) {
    EXPECT_EQ(RunWithConsole("ctrl-c-held"), kHeld);
    EXPECT_EQ(RunWithConsole("ctrl-c-default"), 128 + SIGINT);
}

TEST(ConsoleStopEvents, TheRoutineTakesCtrlCAndCtrlBreakOnlyWhileAStopSignalsLives) {
    struct Case {
        DWORD event;
        bool taken;
        int signal;
        const char* name;
    };
    // Closing the console, logging off and shutting down keep their own effect.
    const Case cases[] = {{CTRL_C_EVENT, true, SIGINT, "Ctrl+C"},
                          {CTRL_BREAK_EVENT, true, SIGBREAK, "Ctrl+Break"},
                          {CTRL_CLOSE_EVENT, false, 0, ""},
                          {CTRL_LOGOFF_EVENT, false, 0, ""},
                          {CTRL_SHUTDOWN_EVENT, false, 0, ""}};
    std::vector<std::pair<int, std::string>> seen;
    {
        StopSignals stop;
        stop.SetHandler([&](int s, const std::string& n) { seen.emplace_back(s, n); });
        for (const Case& c : cases) {
            SCOPED_TRACE(c.event);
            seen.clear();
            EXPECT_EQ(HandleConsoleControl(c.event), c.taken);
            if (c.taken)
                EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{{c.signal, c.name}}));
            else
                EXPECT_TRUE(seen.empty());
        }
    }
    // Gone: the system's own handling follows, and the handler is not called.
    seen.clear();
    EXPECT_FALSE(HandleConsoleControl(CTRL_C_EVENT));
    EXPECT_FALSE(HandleConsoleControl(CTRL_BREAK_EVENT));
    EXPECT_TRUE(seen.empty());
}

} // namespace
} // namespace tollander::platform
