#include "serial/notice_window.h"

#include <atomic>

namespace tollander::serial {

// What a queued message holds on to: it outlives the window, and a message
// for a destroyed window is dropped.
struct NoticeWindow::Target {
    Handler handler;
    std::atomic<bool> alive{true};
};

NoticeWindow::NoticeWindow(platform::WindowThread& thread, std::string window_class,
                           Handler handler)
    : thread_(thread), class_(std::move(window_class)), target_(std::make_shared<Target>()) {
    target_->handler = std::move(handler);
}

NoticeWindow::~NoticeWindow() {
    // The handler may be running right now (a handler that closes its port):
    // only mark the target, never reset the handler under it.
    target_->alive = false;
}

NoticeWindow::SendFn NoticeWindow::Sender() const {
    return [thread = &thread_, target = target_](std::uint16_t msg, std::uint32_t wparam,
                                                 std::uint32_t lparam, platform::Millis limit) {
        return thread->send(
            [target, msg, wparam, lparam] {
                if (target->alive) target->handler(msg, wparam, lparam);
            },
            limit);
    };
}

bool NoticeWindow::Send(std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam,
                        platform::Millis limit) {
    return Sender()(msg, wparam, lparam, limit);
}

void NoticeWindow::Post(std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam) {
    auto target = target_;
    thread_.post([target, msg, wparam, lparam] {
        if (target->alive) target->handler(msg, wparam, lparam);
    });
}

} // namespace tollander::serial
