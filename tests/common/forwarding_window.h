// A window thread that hands every call to a headless one, for a test that
// watches some of them: it overrides those and calls `inner` itself.
#pragma once

#include "platform/thread/headless_window_thread.h"

namespace tollander::testing {

class ForwardingWindow : public platform::WindowThread {
public:
    using Millis = platform::Millis;
    using Task = platform::Task;

    void post(Task t) override { inner.post(std::move(t)); }
    bool send(Task t, Millis l) override { return inner.send(std::move(t), l); }
    void process_pending() override { inner.process_pending(); }
    void wait(Millis max) override { inner.wait(max); }
    void wake() override { inner.wake(); }
    TimerId add_timer(Millis i, Task t) override { return inner.add_timer(i, std::move(t)); }
    void set_timer_interval(TimerId id, Millis i) override { inner.set_timer_interval(id, i); }
    void start_timer(TimerId id) override { inner.start_timer(id); }
    void stop_timer(TimerId id) override { inner.stop_timer(id); }
    bool timer_enabled(TimerId id) const override { return inner.timer_enabled(id); }
    void remove_timer(TimerId id) override { inner.remove_timer(id); }
    bool on_window_thread() const override { return inner.on_window_thread(); }
    void terminate() override { inner.terminate(); }
    bool terminating() const override { return inner.terminating(); }

    platform::HeadlessWindowThread inner;
};

} // namespace tollander::testing
