// WindowThread on the Win32 message loop. A hidden message-only window
// receives the queued tasks (PostMessage) and the timers (SetTimer), so every
// loop of the thread serves them: ours, and the system's own inside a message
// box or a menu. The thread that constructs it is the window thread.
#pragma once

#include "platform/thread/task_queue.h"
#include "platform/thread/window_thread_base.h"

#include <atomic>
#include <set>

#include <windows.h>

namespace tollander::ui {

class Win32WindowThread final : public platform::WindowThreadBase {
public:
    Win32WindowThread();
    ~Win32WindowThread() override;
    Win32WindowThread(const Win32WindowThread&) = delete;
    Win32WindowThread& operator=(const Win32WindowThread&) = delete;

    void process_pending() override;
    void wait(platform::Millis max) override;
    void wake() override;
    bool on_window_thread() const override;
    void terminate() override;

    // Top-level windows whose keyboard input goes through the dialog
    // manager (Tab, Escape, Enter, the underlined letters).
    void add_dialog(HWND window);
    void remove_dialog(HWND window);

private:
    const platform::TaskQueue& queue() const override { return tasks_; }
    // SetTimer and KillTimer belong to the window's own thread: other
    // threads hand the change over.
    void Rearm(const TimerPtr& timer, bool removed) override;
    static LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    void run_queued();
    // Keyboard input of a dialog goes through the dialog manager; true when
    // it took the message.
    bool dialog_message(MSG& msg);
    // One drain message at a time: a long queue is one message, not many.
    void request_drain();
    void fire(TimerId id);

    HWND hwnd_ = nullptr;
    DWORD owner_ = 0;
    std::atomic<bool> drain_requested_{false};
    std::set<HWND> dialogs_;
    // Last: gone first, once its senders have left, while the window it
    // posts to is still there.
    platform::TaskQueue tasks_{[this] { request_drain(); }};
};

} // namespace tollander::ui
