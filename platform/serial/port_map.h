// COM1 to COM4 mapped to device paths. TOLLANDER_COM1..TOLLANDER_COM4 name
// the paths; once any of them is set the map is explicit and an unset one has
// no device. Otherwise the machine's own serial ports from /sys/class/tty:
// USB and ACM adapters first, then UARTs that exist, the first four in a
// stable order.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tollander::platform {

inline constexpr unsigned kMappedPorts = 4;

// Device path of port n (1 to 4), or "" when the port has no device.
std::string ComDevicePath(unsigned n);

// Device path for a port name: "\\.\COMn" and "COMn" (any case) go through
// the map; any other name is taken as a path. "" when it names no device.
std::string DevicePathFor(const std::string& name);

// Overrides the map for port n inside this process (tests, a chosen port);
// std::nullopt removes the override.
void SetComDevicePath(unsigned n, std::optional<std::string> path);

// The serial ports of this machine found in a sysfs tree, ordered as the map
// uses them (for diagnostics and tests; the map reads "/sys/class/tty").
std::vector<std::string> EnumerateSerialPorts(const std::string& sysfs_tty_dir,
                                                const std::string& dev_dir = "/dev");

} // namespace tollander::platform
