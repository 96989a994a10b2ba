// What the portable port facts (port_info.cpp) need from the system; one
// implementation per system (port_info_posix.cpp).
#pragma once

#include "platform/serial/port_info.h"

namespace tollander::platform::port_info_os {

// Fills in what the system knows about facts.device (never "").
void Describe(PortFacts& facts, const SystemRoots& roots);

// The serial ports the system names itself, in its order (none on Linux).
std::vector<SystemPort> SystemPorts();

} // namespace tollander::platform::port_info_os
