// What the words about a device's faults (device_fault.h) need from the
// system; one implementation per system (device_fault_posix.cpp).
#pragma once

#include <string>

namespace tollander::platform::device_fault_os {

// What to do when the user may not open `device`.
std::string PermissionAdvice(const std::string& device);

} // namespace tollander::platform::device_fault_os
