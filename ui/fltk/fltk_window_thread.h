// WindowThread on the FLTK event loop. Every wait is Fl::wait(), so tasks,
// timers, painting and input are served by one loop, including the loops
// nested inside steps and modal dialogs. The thread that constructs it is the
// window thread.
#pragma once

#include "platform/task_queue.h"
#include "platform/window_thread.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tollander::ui {

class FltkWindowThread final : public platform::WindowThread {
public:
    FltkWindowThread();
    ~FltkWindowThread() override;

    void post(platform::Task task) override;
    bool send(platform::Task task, platform::Millis limit) override;
    void process_pending() override;
    void wait(platform::Millis max) override;
    void wake() override;

    TimerId add_timer(platform::Millis interval, platform::Task on_tick) override;
    void set_timer_interval(TimerId id, platform::Millis interval) override;
    void start_timer(TimerId id) override;
    void stop_timer(TimerId id) override;
    bool timer_enabled(TimerId id) const override;
    void remove_timer(TimerId id) override;

    bool on_window_thread() const override;
    void terminate() override;
    bool terminating() const override;

    // The front end's main loop: serves events until terminate().
    void run();

private:
    struct Timer;

    static void on_awake(void* self);
    static void on_timeout(void* timer);
    void run_queued();
    // Asks the loop to run the queued tasks (one request at a time).
    void request_drain();
    void fire(TimerId id);
    void arm_locked(Timer& timer);
    // Applies `change` to a timer under the lock; null when there is no such timer.
    std::shared_ptr<Timer> change_timer(TimerId id, const std::function<void(Timer&)>& change);
    void rearm_on_loop(std::shared_ptr<Timer> timer);
    // Timers live in FLTK's timeout list, which only the window thread may
    // touch: other threads hand the change over.
    void on_loop(platform::Task change);

    mutable std::mutex mutex_;
    bool drain_requested_ = false;
    std::map<TimerId, std::shared_ptr<Timer>> timers_;
    std::vector<std::shared_ptr<Timer>> retired_;
    TimerId next_timer_ = 1;
    std::thread::id owner_;
    // After the mutex its wake-up uses: gone first.
    platform::TaskQueue tasks_{[this] { request_drain(); }};
};

} // namespace tollander::ui
