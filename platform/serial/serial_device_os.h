// What the portable serial device (serial_device.cpp) needs from the system:
// its own serial ports (serial_device_posix.cpp, serial_device_win32.cpp).
#pragma once

#include <memory>

#include "platform/serial/serial_device.h"

namespace tollander::platform::serial_device_os {

// A device for the system's serial ports (a terminal, a COM port).
std::unique_ptr<SerialDevice> MakeLineDevice();

} // namespace tollander::platform::serial_device_os
