#include "serial/notice_window.h"

#include <condition_variable>
#include <mutex>

namespace tollander::serial {

// What queued messages and senders hold on to: it outlives the window. The
// senders wait here rather than in the window thread, so that closing the
// window releases them and a message is never handed to a window thread
// after its window was closed.
struct NoticeWindow::Target {
    Handler handler;
    std::mutex mutex;
    std::condition_variable cv;
    bool closed = false;
    int callers = 0; // other threads inside Send() or Post()

    // Registers a caller; false once the window is closed.
    bool Enter() {
        std::lock_guard lock(mutex);
        if (closed) return false;
        ++callers;
        return true;
    }
    void Leave() {
        {
            std::lock_guard lock(mutex);
            --callers;
        }
        cv.notify_all();
    }
    bool Open() {
        std::lock_guard lock(mutex);
        return !closed;
    }
};

namespace {

// One sent message, as its sender waits for it (under Target::mutex).
enum class SentState { Queued, Running, Done, Dropped };

} // namespace

NoticeWindow::NoticeWindow(platform::WindowThread& thread, std::string window_class,
                           Handler handler)
    : thread_(thread), class_(std::move(window_class)), target_(std::make_shared<Target>()) {
    target_->handler = std::move(handler);
}

NoticeWindow::~NoticeWindow() {
    Close();
}

void NoticeWindow::Close() {
    // The handler may be running right now (a handler that closes its port):
    // it is marked, never reset under it.
    std::unique_lock lock(target_->mutex);
    target_->closed = true;
    target_->cv.notify_all();
    target_->cv.wait(lock, [&] { return target_->callers == 0; });
}

NoticeWindow::SendFn NoticeWindow::Sender() const {
    return [thread = &thread_, target = target_](std::uint16_t msg, std::uint32_t wparam,
                                                 std::uint32_t lparam,
                                                 platform::Millis limit) -> Outcome {
        // Registered first: a closed window's thread may be gone already.
        if (!target->Enter()) return Outcome::NotStarted;
        if (thread->on_window_thread()) {
            // Only this thread closes the window, so it stays open meanwhile.
            target->Leave();
            target->handler(msg, wparam, lparam);
            return Outcome::Handled;
        }
        auto state = std::make_shared<SentState>(SentState::Queued);
        // The task owns all it uses: once the limit passes it may still be
        // running, and the sender goes on without it.
        thread->post([target, state, msg, wparam, lparam] {
            {
                std::lock_guard lock(target->mutex);
                if (*state != SentState::Queued || target->closed) return;
                *state = SentState::Running;
            }
            struct Done {
                Target& target;
                SentState& state;
                ~Done() {
                    {
                        std::lock_guard lock(target.mutex);
                        state = SentState::Done;
                    }
                    target.cv.notify_all();
                }
            } done{*target, *state};
            target->handler(msg, wparam, lparam);
        });
        Outcome outcome;
        {
            std::unique_lock lock(target->mutex);
            target->cv.wait_for(lock, limit,
                                [&] { return *state == SentState::Done || target->closed; });
            if (*state == SentState::Queued) *state = SentState::Dropped;
            outcome = *state == SentState::Done      ? Outcome::Handled
                      : *state == SentState::Running ? Outcome::StillRunning
                                                     : Outcome::NotStarted;
        }
        target->Leave();
        return outcome;
    };
}

bool NoticeWindow::Send(std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam,
                        platform::Millis limit) {
    return Sender()(msg, wparam, lparam, limit) == Outcome::Handled;
}

void NoticeWindow::Post(std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam) {
    if (!target_->Enter()) return;
    auto target = target_;
    thread_.post([target, msg, wparam, lparam] {
        if (target->Open()) target->handler(msg, wparam, lparam);
    });
    target_->Leave();
}

} // namespace tollander::serial
