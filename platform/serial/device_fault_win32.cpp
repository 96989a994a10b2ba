// The fault advice that depends on Windows: no groups to join; Windows says
// "access denied" also for a port another program holds.
#include "platform/serial/device_fault_os.h"

namespace tollander::platform::device_fault_os {

std::string PermissionAdvice(const std::string&) {
    return "close the program that holds it";
}

} // namespace tollander::platform::device_fault_os
