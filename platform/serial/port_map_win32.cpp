// COM1 to COM4 on Windows: the port's own name, unless TOLLANDER_COMn names
// another ("COM7", "\\.\COM12"); once any of them is set the map is explicit
// and an unset one has no device, as on Linux.
#include "platform/serial/port_map.h"

#include "platform/serial/port_map_os.h"

namespace tollander::platform {

namespace {

// "\\.\" in front, which every COM port takes (COM10 and up need it).
std::string device_name(const std::string& name) {
    return name.rfind("\\\\.\\", 0) == 0 ? name : "\\\\.\\" + name;
}

} // namespace

std::vector<std::string> enumerate_serial_ports(const std::string&, const std::string&) {
    return {}; // Windows names its ports itself
}

std::string port_map_os::default_device(unsigned n) {
    return "\\\\.\\COM" + std::to_string(n);
}

std::string port_map_os::mapped_device(const std::string& value) {
    return com_number(value).value_or(0) != 0 ? device_name(value) : value;
}

std::string port_map_os::other_com_device(const std::string& name,
                                          std::optional<unsigned> number) {
    // COM5 and up are Windows' own names; "COM" and anything else is no port.
    return number.value_or(0) != 0 ? device_name(name) : std::string();
}

} // namespace tollander::platform
