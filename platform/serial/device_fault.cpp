// The words about a device's faults, the same on every system: each fault's
// reason and advice (only the advice on permission is the system's) and the
// two put together.
#include "platform/serial/device_fault.h"

#include "platform/serial/device_fault_os.h"

namespace tollander::platform {

std::string FaultReason(DeviceFault fault) {
    switch (fault) {
    case DeviceFault::Unmapped:
        return "no device mapped";
    case DeviceFault::Missing:
        return "no such device";
    case DeviceFault::NotSerial:
        return "not a serial device";
    case DeviceFault::Permission:
        return "permission denied";
    case DeviceFault::Busy:
        return "in use by another program";
    case DeviceFault::OwnTerminal:
        return "the terminal this program runs in";
    case DeviceFault::None:
    case DeviceFault::Closed:
    case DeviceFault::Other:
        break;
    }
    return {};
}

std::string FaultAdvice(DeviceFault fault, const std::string& device) {
    switch (fault) {
    case DeviceFault::Unmapped:
        return "TOLLANDER_COM1 to TOLLANDER_COM4 choose the devices";
    case DeviceFault::Missing:
        return "check that the modem's adapter is plugged in and the port mapped to it";
    case DeviceFault::NotSerial:
        return "map the port to a serial device";
    case DeviceFault::Permission:
        return device_fault_os::PermissionAdvice(device);
    case DeviceFault::Busy:
        return "close the program that holds it";
    case DeviceFault::OwnTerminal:
        return "map the port to the modem's serial device";
    case DeviceFault::None:
    case DeviceFault::Closed:
    case DeviceFault::Other:
        break;
    }
    return {};
}

std::string FaultSentence(DeviceFault fault, const std::string& device,
                           const std::string& os_text) {
    std::string reason = FaultReason(fault);
    if (reason.empty()) reason = os_text;
    const std::string advice = FaultAdvice(fault, device);
    if (reason.empty()) return advice;
    return advice.empty() ? reason : reason + "; " + advice;
}

} // namespace tollander::platform
