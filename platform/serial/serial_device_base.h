// What every system's serial device (serial_device_posix.cpp, ...) shares: the
// last failure and its fault, the words of the failures that are not the
// system's, and the event mask with its generation, by which a new mask ends
// the wait in progress.
#pragma once

#include "platform/serial/port_map.h"
#include "platform/serial/serial_device.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace tollander::platform {

class SerialDeviceBase : public SerialDevice {
public:
    std::string last_error_text() const override {
        std::lock_guard lock(error_mutex_);
        return last_error_;
    }

    DeviceFault last_fault() const override {
        std::lock_guard lock(error_mutex_);
        return last_fault_;
    }

    int set_event_mask(std::uint32_t mask) final {
        mask_ = mask;
        ++generation_;
        end_wait();
        return 0;
    }

protected:
    // Makes the pending wait_event() (or the next one) see the new generation.
    virtual void end_wait() = 0;

    // Records the failure; gives -code.
    int fail(int code, DeviceFault fault, const std::string& text) {
        std::lock_guard lock(error_mutex_);
        last_error_ = text;
        last_fault_ = fault;
        return -code;
    }

    // Forgets the last failure (an open that went well).
    void clear_failure() {
        std::lock_guard lock(error_mutex_);
        last_error_.clear();
        last_fault_ = DeviceFault::None;
    }

    // The first steps of open(): refuses a second open and a port without a
    // device. 0 with the device's path, or the failure.
    int open_path(bool already_open, const std::string& name, std::string& path) {
        if (already_open) return fail(kDevAccessDenied, DeviceFault::Busy, name + ": already open");
        path = DevicePathFor(name);
        if (path.empty())
            return fail(kDevNoSuchDevice, DeviceFault::Unmapped, name + ": no device for this port");
        return 0;
    }

    // A write to a device closed under it (by a close while it waited).
    int fail_closed(const std::string& path) {
        return fail(kDevNotOpen, DeviceFault::Other, path + ": closed during the write");
    }

    int fail_not_serial(const std::string& path) {
        return fail(kDevNoSuchDevice, DeviceFault::NotSerial, path + ": not a serial device");
    }

    std::atomic<std::uint32_t> mask_{0};
    std::atomic<std::uint64_t> generation_{0};
    std::uint64_t seen_generation_ = 0; // the event thread's own
    std::atomic<std::uint32_t> write_timeout_ms_{20000};

    mutable std::mutex error_mutex_;
    std::string last_error_;
    DeviceFault last_fault_ = DeviceFault::None;
};

} // namespace tollander::platform
