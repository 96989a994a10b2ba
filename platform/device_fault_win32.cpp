// The faults of a COM port in Windows' terms: no dialout group, no device
// nodes; the ports are COM names that Device Manager shows.
#include "platform/device_fault.h"

namespace tollander::platform {

std::string fault_reason(DeviceFault fault) {
    switch (fault) {
    case DeviceFault::unmapped:
        return "no device mapped";
    case DeviceFault::missing:
        return "no such port";
    case DeviceFault::not_serial:
        return "not a serial port";
    case DeviceFault::permission:
        return "access denied";
    case DeviceFault::busy:
        return "in use by another program";
    case DeviceFault::none:
    case DeviceFault::other:
        break;
    }
    return {};
}

std::string fault_advice(DeviceFault fault, const std::string&) {
    switch (fault) {
    case DeviceFault::unmapped:
        return "TOLLANDER_COM1 to TOLLANDER_COM4 choose the COM ports";
    case DeviceFault::missing:
        return "check that the modem's adapter is plugged in, and its COM number in Device Manager";
    case DeviceFault::not_serial:
        return "map the port to a COM port";
    case DeviceFault::permission:
    case DeviceFault::busy:
        // Windows says "access denied" for a port another program holds.
        return "close the program that holds it";
    case DeviceFault::none:
    case DeviceFault::other:
        break;
    }
    return {};
}

} // namespace tollander::platform
