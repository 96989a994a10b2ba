// The window thread: the one loop on which every handler, step and notice of
// the program runs. Other threads hand work to it with post() and send().
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace tollander::platform {

using Task = std::function<void()>;
using Millis = std::chrono::milliseconds;

class WindowThread {
public:
    using TimerId = std::uint32_t;

    virtual ~WindowThread() = default;

    // Queue a task; it runs later on the window thread, in order.
    virtual void post(Task task) = 0;

    // From another thread: queue the task and wait until it has run or `limit`
    // has passed; true when it ran. A task that has not started by then never
    // runs. On the window thread itself the task runs at once.
    virtual bool send(Task task, Millis limit) = 0;

    // Run every queued task and every due timer, then return. Tasks may call
    // wait() or process_pending() again (a nested loop inside a step).
    virtual void process_pending() = 0;

    // Block until a task is queued, a timer is due, wake() is called or `max`
    // passes; then process_pending(). Returns at once when terminating.
    virtual void wait(Millis max) = 0;

    // Any thread: end a wait() early.
    virtual void wake() = 0;

    // Repeating timers; a new timer is stopped. The callback runs on the
    // window thread. A timer may be stopped, restarted or given a new
    // interval from inside its own callback.
    virtual TimerId add_timer(Millis interval, Task on_tick) = 0;
    virtual void set_timer_interval(TimerId id, Millis interval) = 0;
    virtual void start_timer(TimerId id) = 0;
    virtual void stop_timer(TimerId id) = 0;
    virtual bool timer_enabled(TimerId id) const = 0;
    virtual void remove_timer(TimerId id) = 0;

    // True when called on the window thread.
    virtual bool on_window_thread() const = 0;

    // The main window is closing: running waits return at once and the loop
    // of the front end ends.
    virtual void terminate() = 0;
    virtual bool terminating() const = 0;
};

} // namespace tollander::platform
