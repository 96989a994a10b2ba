// The device of a port, whatever its name leads to: the system's serial
// port, or a serial server's port on the network (net_serial_device.h).
// The choice is made when the port opens, since only then is its name known.
#include "platform/serial/serial_device.h"

#include "platform/serial/net_serial_device.h"
#include "platform/serial/port_map.h"
#include "platform/serial/serial_device_os.h"

namespace tollander::platform {

namespace {

class PortDevice final : public SerialDevice {
public:
    int open(const std::string& name) override {
        // A second open is refused by the device that is open.
        if (!device_->is_open())
            device_ = IsNetworkPort(DevicePathFor(name)) ? MakeNetworkSerialDevice()
                                                             : serial_device_os::MakeLineDevice();
        return device_->open(name);
    }
    void close() override { device_->close(); }
    bool is_open() const override { return device_->is_open(); }
    std::string last_error_text() const override { return device_->last_error_text(); }
    DeviceFault last_fault() const override { return device_->last_fault(); }
    int set_queue_sizes(std::uint16_t in_size, std::uint16_t out_size) override {
        return device_->set_queue_sizes(in_size, out_size);
    }
    int read_settings(LineSettings& settings) override { return device_->read_settings(settings); }
    int write_settings(const LineSettings& settings) override {
        return device_->write_settings(settings);
    }
    void set_write_timeout(std::uint32_t ms) override { device_->set_write_timeout(ms); }
    int read(std::uint8_t* buffer, std::size_t n) override { return device_->read(buffer, n); }
    int write(const std::uint8_t* buffer, std::size_t n) override {
        return device_->write(buffer, n);
    }
    int write_listening(const std::uint8_t* buffer, std::size_t n, bool& heard) override {
        return device_->write_listening(buffer, n, heard);
    }
    int status(DeviceStatus& status) override { return device_->status(status); }
    int purge(PurgeQueue which) override { return device_->purge(which); }
    int line_function(LineFunction function) override { return device_->line_function(function); }
    int set_break(bool on) override { return device_->set_break(on); }
    int transmit_char(std::uint8_t ch) override { return device_->transmit_char(ch); }
    int modem_lines(std::uint8_t& states) override { return device_->modem_lines(states); }
    int set_event_mask(std::uint32_t mask) override { return device_->set_event_mask(mask); }
    int wait_event(std::uint32_t& word) override { return device_->wait_event(word); }
    int wait_event_for(std::uint32_t& word, std::uint32_t ms) override {
        return device_->wait_event_for(word, ms);
    }

private:
    std::unique_ptr<SerialDevice> device_ = serial_device_os::MakeLineDevice();
};

} // namespace

std::unique_ptr<SerialDevice> MakeSerialDevice() {
    return std::make_unique<PortDevice>();
}

} // namespace tollander::platform
