#include "platform/device_fault.h"

#include <grp.h>
#include <sys/stat.h>

namespace tollander::platform {

namespace {

// The group whose members may open `device`: its own group when that group
// may read and write it, else the usual one for serial devices.
std::string access_group(const std::string& device) {
    struct stat st {};
    if (!device.empty() && ::stat(device.c_str(), &st) == 0 && st.st_gid != 0 &&
        (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
        if (const group* g = ::getgrgid(st.st_gid)) return g->gr_name;
    return "dialout";
}

} // namespace

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
    case DeviceFault::permission: {
        // A new group membership counts only for sessions started after it.
        const std::string group = access_group(device);
        return "add yourself to the " + group + " group: sudo usermod -aG " + group +
               " \"$USER\", then log out and in again";
    }
    case DeviceFault::busy:
        return "close the program that holds it";
    case DeviceFault::none:
    case DeviceFault::other:
        break;
    }
    return {};
}

} // namespace tollander::platform
