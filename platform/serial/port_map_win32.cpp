// COM1 to COM4 on Windows: the port's own name, unless TOLLANDER_COMn names
// another ("COM7", "\\.\COM12"); once any of them is set the map is explicit
// and an unset one has no device, as on Linux.
#include "platform/serial/port_map.h"

#include "platform/serial/port_map_os.h"

namespace tollander::platform {

namespace {

// "\\.\" in front, which every COM port takes (COM10 and up need it).
std::string DeviceName(const std::string& name) {
    return name.rfind("\\\\.\\", 0) == 0 ? name : "\\\\.\\" + name;
}

} // namespace

std::vector<std::string> EnumerateSerialPorts(const std::string&, const std::string&) {
    return {}; // Windows names its ports itself
}

std::string port_map_os::DefaultDevice(unsigned n) {
    return "\\\\.\\COM" + std::to_string(n);
}

std::string port_map_os::MappedDevice(const std::string& value) {
    return ComNumberOf(value).value_or(0) != 0 ? DeviceName(value) : value;
}

std::string port_map_os::OtherComDevice(const std::string& name,
                                          std::optional<unsigned> number) {
    // COM5 and up are Windows' own names; "COM" and anything else is no port.
    return number.value_or(0) != 0 ? DeviceName(name) : std::string();
}

} // namespace tollander::platform
