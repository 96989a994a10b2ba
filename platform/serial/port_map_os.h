// What the portable port map (port_map.cpp) needs from the system; one
// implementation per system (port_map_posix.cpp).
#pragma once

#include <optional>
#include <string>

namespace tollander::platform::port_map_os {

// The device of port n (1 to 4) when no TOLLANDER_COMn is set.
std::string DefaultDevice(unsigned n);
// The device a TOLLANDER_COMn value names ("" when it is empty).
std::string MappedDevice(const std::string& value);
// A name that begins with "COM" (or "\\.\COM") but is none of COM1 to COM4;
// number as ComNumberOf() read it.
std::string OtherComDevice(const std::string& name, std::optional<unsigned> number);

// Portable (port_map.cpp): the number of "COMn" or "\\.\COMn" (any case), 0
// when it has more than three digits; std::nullopt when no number follows.
std::optional<unsigned> ComNumberOf(const std::string& name);

} // namespace tollander::platform::port_map_os
