// A hidden window: a target on the window thread for notices from other
// threads. Send() waits until the handler ran (or the limit passed), Post()
// does not wait. A message that arrives after the window was destroyed is
// dropped.
#pragma once

#include "platform/window_thread.h"

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

    // Runs the handler on the window thread (at once when called there);
    // true when it ran within `limit`.
    bool Send(std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam,
              platform::Millis limit = kNoticeSendLimit);
    void Post(std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam);

    // A sender that stays safe to call after the window is gone (the message
    // is then dropped): what the dispatcher keeps for a window listener.
    using SendFn = std::function<bool(std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam,
                                      platform::Millis limit)>;
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
