// COM1 to COM4 on Windows: the port's own name, unless TOLLANDER_COMn names
// another ("COM7", "\\.\COM12"); once any of them is set the map is explicit
// and an unset one has no device, as on Linux.
#include "platform/port_map.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <mutex>

namespace tollander::platform {

namespace {

std::mutex overrides_mutex;
std::array<std::optional<std::string>, kMappedPorts> overrides;

bool iequals_prefix(const std::string& s, const char* prefix, std::size_t n) {
    if (s.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::toupper(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
}

// The number of "COMn" or "\\.\COMn" (any case); 0 for any other name.
unsigned com_number(const std::string& name) {
    std::string rest = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    if (rest.size() <= 3 || rest.size() > 6 || !iequals_prefix(rest, "COM", 3)) return 0;
    if (!std::all_of(rest.begin() + 3, rest.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        return 0;
    return static_cast<unsigned>(std::stoul(rest.substr(3)));
}

// "\\.\" in front, which every COM port takes (COM10 and up need it).
std::string device_name(const std::string& name) {
    return name.rfind("\\\\.\\", 0) == 0 ? name : "\\\\.\\" + name;
}

} // namespace

std::vector<std::string> enumerate_serial_ports(const std::string&, const std::string&) {
    return {}; // Windows names its ports itself
}

std::string com_device_path(unsigned n) {
    if (n < 1 || n > kMappedPorts) return {};
    {
        std::lock_guard lock(overrides_mutex);
        if (overrides[n - 1]) return *overrides[n - 1];
    }
    bool explicit_map = false;
    for (unsigned i = 1; i <= kMappedPorts; ++i)
        if (std::getenv(("TOLLANDER_COM" + std::to_string(i)).c_str())) explicit_map = true;
    if (!explicit_map) return "\\\\.\\COM" + std::to_string(n);
    const char* mapped = std::getenv(("TOLLANDER_COM" + std::to_string(n)).c_str());
    if (mapped == nullptr || mapped[0] == '\0') return "";
    return com_number(mapped) != 0 ? device_name(mapped) : std::string(mapped);
}

std::string device_path_for(const std::string& name) {
    const unsigned n = com_number(name);
    if (n == 0) {
        // "COM" followed by something else than a number is no port.
        if (iequals_prefix(name, "COM", 3) || iequals_prefix(name, "\\\\.\\COM", 7)) return {};
        return name;
    }
    if (n <= kMappedPorts) return com_device_path(n);
    return device_name(name); // COM5 and up are Windows' own names
}

void set_com_device_path(unsigned n, std::optional<std::string> path) {
    if (n < 1 || n > kMappedPorts) return;
    std::lock_guard lock(overrides_mutex);
    overrides[n - 1] = std::move(path);
}

} // namespace tollander::platform
