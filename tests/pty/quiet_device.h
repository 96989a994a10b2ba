// A serial device that does nothing and reports a healthy line (CTS, DSR and
// carrier present): the base of the tests' fake devices, which override what
// their test watches.
#pragma once

#include "platform/serial/serial_device.h"

#include <mutex>
#include <string>

namespace tollander::testing {

class QuietDevice : public platform::SerialDevice {
public:
    int open(const std::string&) override { return 0; }
    void close() override {}
    bool is_open() const override { return true; }
    std::string last_error_text() const override { return {}; }
    int set_queue_sizes(std::uint16_t, std::uint16_t) override { return 0; }
    int read_settings(platform::LineSettings& s) override {
        std::lock_guard lock(settings_mutex_);
        s = settings_;
        return 0;
    }
    int write_settings(const platform::LineSettings& s) override {
        std::lock_guard lock(settings_mutex_);
        settings_ = s;
        return 0;
    }
    void set_write_timeout(std::uint32_t) override {}
    int read(std::uint8_t*, std::size_t) override { return 0; }
    int purge(platform::PurgeQueue) override { return 0; }
    int line_function(platform::LineFunction) override { return 0; }
    int set_break(bool) override { return 0; }
    int transmit_char(std::uint8_t) override { return 0; }
    int modem_lines(std::uint8_t& states) override {
        states = platform::kLineCts | platform::kLineDsr | platform::kLineCarrier;
        return 0;
    }

private:
    std::mutex settings_mutex_;
    platform::LineSettings settings_;
};

} // namespace tollander::testing
