// The words about a device's faults, the same on every system: each fault's
// reason and advice (only the advice on permission is the system's) and the
// two put together.
#include "platform/serial/device_fault.h"

#include "platform/serial/device_fault_os.h"

namespace tollander::platform {

std::string fault_reason(DeviceFault fault) {
    switch (fault) {
    case DeviceFault::unmapped:
        return "no device mapped";
    case DeviceFault::missing:
        return "no such device";
    case DeviceFault::not_serial:
        return "not a serial device";
    case DeviceFault::permission:
        return "permission denied";
    case DeviceFault::busy:
        return "in use by another program";
    case DeviceFault::own_terminal:
        return "the terminal this program runs in";
    case DeviceFault::none:
    case DeviceFault::other:
        break;
    }
    return {};
}

std::string fault_advice(DeviceFault fault, const std::string& device) {
    switch (fault) {
    case DeviceFault::unmapped:
        return "TOLLANDER_COM1 to TOLLANDER_COM4 choose the devices";
    case DeviceFault::missing:
        return "check that the modem's adapter is plugged in and the port mapped to it";
    case DeviceFault::not_serial:
        return "map the port to a serial device";
    case DeviceFault::permission:
        return device_fault_os::permission_advice(device);
    case DeviceFault::busy:
        return "close the program that holds it";
    case DeviceFault::own_terminal:
        return "map the port to the modem's serial device";
    case DeviceFault::none:
    case DeviceFault::other:
        break;
    }
    return {};
}

std::string fault_sentence(DeviceFault fault, const std::string& device,
                           const std::string& os_text) {
    std::string reason = fault_reason(fault);
    if (reason.empty()) reason = os_text;
    const std::string advice = fault_advice(fault, device);
    if (reason.empty()) return advice;
    return advice.empty() ? reason : reason + "; " + advice;
}

} // namespace tollander::platform
