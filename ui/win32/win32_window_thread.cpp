#include "ui/win32/win32_window_thread.h"

#include <stdexcept>
#include <string_view>
#include <vector>

namespace tollander::ui {

namespace {

constexpr UINT kDrainMessage = WM_APP + 1; // queued tasks are waiting
constexpr UINT kWakeMessage = WM_APP + 2;  // only ends a wait
constexpr wchar_t kClassName[] = L"TollanderWindowThread";

UINT milliseconds(platform::Millis ms) {
    // SetTimer and the waits take 32 bits; a longer wait is cut, which the
    // callers' loops absorb.
    if (ms.count() <= 0) return 0;
    return ms.count() >= 0x7fffffff ? 0x7fffffffu : static_cast<UINT>(ms.count());
}

} // namespace

Win32WindowThread::Win32WindowThread() : owner_(GetCurrentThreadId()) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.lpszClassName = kClassName;
    // A second instance finds the class registered already.
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error("cannot register the window thread's window class");
    hwnd_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                            nullptr);
    if (!hwnd_) throw std::runtime_error("cannot create the window thread's hidden window");
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

Win32WindowThread::~Win32WindowThread() {
    terminate();
    for (const TimerPtr& timer : AllTimers())
        KillTimer(hwnd_, timer->id);
    // Messages still queued for the window die with it; a late sender's
    // request finds no window.
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
}

LRESULT CALLBACK Win32WindowThread::window_proc(HWND hwnd, UINT message, WPARAM wparam,
                                                LPARAM lparam) {
    auto* self = reinterpret_cast<Win32WindowThread*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self) {
        switch (message) {
        case kDrainMessage:
            self->run_queued();
            return 0;
        case kWakeMessage:
            return 0;
        case WM_TIMER:
            self->fire(static_cast<TimerId>(wparam));
            return 0;
        default:
            break;
        }
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

bool Win32WindowThread::on_window_thread() const {
    return GetCurrentThreadId() == owner_;
}

void Win32WindowThread::request_drain() {
    if (drain_requested_.exchange(true)) return;
    if (!PostMessageW(hwnd_, kDrainMessage, 0, 0)) drain_requested_ = false;
}

void Win32WindowThread::run_queued() {
    // Cleared first: a task queued from here on asks again.
    drain_requested_ = false;
    tasks_.run();
}

bool Win32WindowThread::dialog_message(MSG& msg) {
    HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    if (!root) return false;
    // Ours, and the system's own dialogs (a message box) when a step waits
    // while one is open.
    wchar_t name[8] = {};
    const bool system_dialog = GetClassNameW(root, name, 8) && std::wstring_view(name) == L"#32770";
    return (system_dialog || dialogs_.count(root)) && IsDialogMessageW(root, &msg);
}

void Win32WindowThread::process_pending() {
    MSG msg;
    // Everything queued, due timers and painting included; a flood of
    // messages is cut after a while, so that one pass always ends.
    const DWORD start = GetTickCount();
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Someone ended the loop the system's way: end ours too.
            terminate();
            break;
        }
        if (!dialog_message(msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (GetTickCount() - start > 100) break;
    }
    // Tasks queued without a message (the message queue was full).
    if (tasks_.has_tasks()) run_queued();
}

void Win32WindowThread::wait(platform::Millis max) {
    if (!tasks_.terminating() && max.count() > 0) {
        // Returns when input of any kind is queued, including what arrived
        // before the call and was only looked at.
        MsgWaitForMultipleObjectsEx(0, nullptr, milliseconds(max), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
    process_pending();
}

void Win32WindowThread::wake() {
    PostMessageW(hwnd_, kWakeMessage, 0, 0);
}

void Win32WindowThread::add_dialog(HWND window) {
    dialogs_.insert(window);
}

void Win32WindowThread::remove_dialog(HWND window) {
    dialogs_.erase(window);
}

void Win32WindowThread::fire(TimerId id) {
    const TimerPtr timer = FindTimer(id);
    if (!timer || !Setting(*timer).enabled) {
        KillTimer(hwnd_, id); // a late tick of a stopped timer
        return;
    }
    timer->on_tick();
}

void Win32WindowThread::Rearm(const TimerPtr& timer, bool) {
    OnLoop([this, timer] {
        const TimerSetting setting = Setting(*timer);
        if (setting.enabled)
            SetTimer(hwnd_, timer->id, std::max<UINT>(1, milliseconds(setting.interval)), nullptr);
        else
            KillTimer(hwnd_, timer->id);
    });
}

void Win32WindowThread::terminate() {
    tasks_.terminate();
    wake();
}

} // namespace tollander::ui
