// WindowThread on the FLTK event loop. Every wait is Fl::wait(), so tasks,
// timers, painting and input are served by one loop, including the loops
// nested inside steps and modal dialogs. The thread that constructs it is the
// window thread.
#pragma once

#include "platform/thread/task_queue.h"
#include "platform/thread/window_thread_base.h"

#include <mutex>
#include <thread>
#include <vector>

namespace tollander::ui {

class FltkWindowThread final : public platform::WindowThreadBase {
public:
    FltkWindowThread();
    ~FltkWindowThread() override;

    void process_pending() override;
    void wait(platform::Millis max) override;
    void wake() override;
    bool on_window_thread() const override;
    void terminate() override;

private:
    const platform::TaskQueue& queue() const override { return tasks_; }
    // Timers live in FLTK's timeout list, which only the window thread may
    // touch: other threads hand the change over.
    void Rearm(const TimerPtr& timer, bool removed) override;
    static void on_awake(void* self);
    static void on_timeout(void* timer);
    void run_queued();
    // Asks the loop to run the queued tasks (one request at a time).
    void request_drain();
    void fire(Timer& timer);
    void arm(Timer& timer);

    mutable std::mutex mutex_;
    bool drain_requested_ = false;
    // Removed timers, kept until the end: FLTK may still hold their address.
    std::vector<TimerPtr> retired_;
    std::thread::id owner_;
    // After the mutex its wake-up uses: gone first.
    platform::TaskQueue tasks_{[this] { request_drain(); }};
};

} // namespace tollander::ui
