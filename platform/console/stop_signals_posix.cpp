#include "platform/console/stop_signals.h"

#include <atomic>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace tollander::platform {

namespace {

struct Named {
    int signal;
    const char* name;
};
constexpr Named kStopSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const Named& s : kStopSignals)
        sigaddset(&set, s.signal);
    return set;
}

} // namespace

struct StopSignals::Watch {
    sigset_t set = StopSet();
    sigset_t old_mask{};
    std::mutex mutex;
    Handler handler;
    std::atomic<bool> done{false};
    std::thread thread;

    void Run() {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            if (done) return;
            // Under the lock: SetHandler waits for a handler that runs.
            std::lock_guard lock(mutex);
            if (!handler) EndBy(signal);
            for (const Named& s : kStopSignals)
                if (s.signal == signal) handler(signal, s.name);
        }
    }
};

StopSignals::StopSignals() : watch_(std::make_unique<Watch>()) {
    std::signal(SIGPIPE, SIG_IGN);
    pthread_sigmask(SIG_BLOCK, &watch_->set, &watch_->old_mask);
    watch_->thread = std::thread([w = watch_.get()] { w->Run(); });
}

StopSignals::~StopSignals() {
    watch_->done = true;
    pthread_kill(watch_->thread.native_handle(), SIGTERM);
    watch_->thread.join();
    pthread_sigmask(SIG_SETMASK, &watch_->old_mask, nullptr);
}

void StopSignals::SetHandler(Handler handler) {
    std::lock_guard lock(watch_->mutex);
    watch_->handler = std::move(handler);
}

const char* StopSignals::Names() {
    return "SIGINT, SIGTERM or SIGHUP";
}

void StopSignals::EndBy(int signal) {
    std::signal(signal, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    std::raise(signal);
    _exit(128 + signal);
}

} // namespace tollander::platform
