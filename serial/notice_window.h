// A hidden window: a target on the window thread for notices from other
// threads. Send() waits until the handler ran or the limit passed, whether the
// handler had started by then or not; Post() does not wait. Once the window is
// closed (or destroyed), waiting senders return at once and no message of it
// reaches the window thread any more.
#pragma once

#include "platform/thread/window_thread.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tollander::serial {

// The hidden windows of the port object and of the protocol.
inline constexpr const char* kComNoticeWindowClass = "ComNoticeWindow";
inline constexpr const char* kProtocolNoticeWindowClass = "ProtocolNoticeWindow";
inline constexpr platform::Millis kNoticeSendLimit{1000};

class NoticeWindow {
public:
    using Handler =
        std::function<void(std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam)>;

    NoticeWindow(platform::WindowThread& thread, std::string window_class, Handler handler);
    ~NoticeWindow();
    NoticeWindow(const NoticeWindow&) = delete;
    NoticeWindow& operator=(const NoticeWindow&) = delete;

    // How a sent message ended: handled within the limit, never started (and
    // never will), or still running when the limit passed (it goes on alone).
    enum class Outcome { Handled, NotStarted, StillRunning };

    // Runs the handler on the window thread (at once when called there);
    // true when it ran to its end within `limit`.
    bool Send(std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam,
              platform::Millis limit = kNoticeSendLimit);
    void Post(std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam);

    // On the window thread: releases every waiting sender and refuses every
    // later message; returns when no other thread is inside Send() or Post()
    // any more. The destructor closes the window.
    void Close();

    // A sender that stays safe to call after the window is closed or gone
    // (the message is then dropped): what the dispatcher keeps for a window
    // listener.
    using SendFn = std::function<Outcome(std::uint16_t msg, std::uint32_t wparam,
                                         std::uint32_t lparam, platform::Millis limit)>;
    SendFn Sender() const;

    platform::WindowThread& Thread() const { return thread_; }
    const std::string& WindowClass() const { return class_; }

private:
    struct Target;
    platform::WindowThread& thread_;
    std::string class_;
    std::shared_ptr<Target> target_;
};

} // namespace tollander::serial
