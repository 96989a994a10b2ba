// The part of the port map that is the same on every system: the overrides,
// TOLLANDER_COM1..4 and the reading of COM names. Where a port leads without
// them is the system's (port_map_posix.cpp).
#include "platform/serial/port_map.h"

#include "platform/serial/port_map_os.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <mutex>

namespace tollander::platform {

namespace {

std::mutex overrides_mutex;
std::array<std::optional<std::string>, kMappedPorts> overrides;

// What follows "\\.\" when the name has it.
std::string WithoutDevicePrefix(const std::string& name) {
    return name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
}

bool BeginsWithCom(const std::string& s) {
    return s.size() >= 3 && std::toupper(static_cast<unsigned char>(s[0])) == 'C' &&
           std::toupper(static_cast<unsigned char>(s[1])) == 'O' &&
           std::toupper(static_cast<unsigned char>(s[2])) == 'M';
}

} // namespace

std::optional<unsigned> port_map_os::ComNumberOf(const std::string& name) {
    const std::string rest = WithoutDevicePrefix(name);
    if (rest.size() <= 3 || !BeginsWithCom(rest) ||
        !std::all_of(rest.begin() + 3, rest.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        return std::nullopt;
    if (rest.size() > 6) return 0u;
    return static_cast<unsigned>(std::stoul(rest.substr(3)));
}

std::string ComDevicePath(unsigned n) {
    if (n < 1 || n > kMappedPorts) return {};
    {
        std::lock_guard lock(overrides_mutex);
        if (overrides[n - 1]) return *overrides[n - 1];
    }
    bool explicit_map = false;
    for (unsigned i = 1; i <= kMappedPorts; ++i)
        if (std::getenv(("TOLLANDER_COM" + std::to_string(i)).c_str())) explicit_map = true;
    if (!explicit_map) return port_map_os::DefaultDevice(n);
    const char* mapped = std::getenv(("TOLLANDER_COM" + std::to_string(n)).c_str());
    return port_map_os::MappedDevice(mapped ? mapped : "");
}

std::string DevicePathFor(const std::string& name) {
    if (!BeginsWithCom(WithoutDevicePrefix(name))) return name;
    const auto number = port_map_os::ComNumberOf(name);
    if (number && *number >= 1 && *number <= kMappedPorts) return ComDevicePath(*number);
    return port_map_os::OtherComDevice(name, number);
}

void SetComDevicePath(unsigned n, std::optional<std::string> path) {
    if (n < 1 || n > kMappedPorts) return;
    std::lock_guard lock(overrides_mutex);
    overrides[n - 1] = std::move(path);
}

} // namespace tollander::platform
