#include "platform/console/stop_signals.h"

#include <windows.h>

#include <csignal>
#include <cstdlib>
#include <mutex>

namespace tollander::platform {

namespace {

struct Named {
    DWORD event;
    int signal;
    const char* name;
};
// Ctrl+C and Ctrl+Break. Closing the console, logging off and shutting down
// end the process whatever a handler answers, so they keep their own effect.
constexpr Named kStopEvents[] = {{CTRL_C_EVENT, SIGINT, "Ctrl+C"},
                                 {CTRL_BREAK_EVENT, SIGBREAK, "Ctrl+Break"}};

// The system calls the routine on a thread of its own, as the POSIX watch
// thread calls the handler; one StopSignals lives at a time.
std::mutex g_mutex;
bool g_active = false;
StopSignals::Handler g_handler;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    return HandleConsoleControl(event) ? TRUE : FALSE;
}

} // namespace

bool HandleConsoleControl(unsigned long event) {
    for (const Named& e : kStopEvents) {
        if (e.event != event) continue;
        // Under the lock: SetHandler waits for a handler that runs.
        std::lock_guard lock(g_mutex);
        if (!g_active) return false;
        if (!g_handler) StopSignals::EndBy(e.signal);
        g_handler(e.signal, e.name);
        return true;
    }
    return false;
}

struct StopSignals::Watch {};

StopSignals::StopSignals() : watch_(std::make_unique<Watch>()) {
    {
        std::lock_guard lock(g_mutex);
        g_active = true;
    }
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StopSignals::~StopSignals() {
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    std::lock_guard lock(g_mutex);
    g_active = false;
    g_handler = nullptr;
}

void StopSignals::SetHandler(Handler handler) {
    std::lock_guard lock(g_mutex);
    g_handler = std::move(handler);
}

const char* StopSignals::Names() {
    return "Ctrl+C or Ctrl+Break";
}

void StopSignals::EndBy(int signal) {
    std::_Exit(128 + signal);
}

} // namespace tollander::platform
