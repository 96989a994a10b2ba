// Where a port leads on Linux: the machine's own serial ports from sysfs.
#include "platform/serial/port_map.h"

#include "platform/serial/port_map_os.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>

namespace tollander::platform {

namespace {

bool StartsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// ttyS10 after ttyS9: names compare by their stem, then by their number.
bool NaturalLess(const std::string& a, const std::string& b) {
    auto split = [](const std::string& s) {
        std::size_t i = s.size();
        while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1])))
            --i;
        const long number = i < s.size() ? std::strtol(s.c_str() + i, nullptr, 10) : -1;
        return std::pair{s.substr(0, i), number};
    };
    return split(a) < split(b);
}

} // namespace

std::vector<std::string> EnumerateSerialPorts(const std::string& sysfs_tty_dir,
                                                const std::string& dev_dir) {
    std::vector<std::string> adapters, uarts;
    DIR* dir = ::opendir(sysfs_tty_dir.c_str());
    if (!dir) return {};
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') continue;
        const std::string base = sysfs_tty_dir + "/" + name;
        // Virtual terminals, consoles and pseudo-terminals have no device.
        if (!Exists(base + "/device")) continue;
        if (StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM")) {
            adapters.push_back(name);
            continue;
        }
        // A legacy UART slot with no chip behind it reports type 0.
        std::ifstream type_file(base + "/type");
        int type = -1;
        if (type_file >> type && type == 0) continue;
        uarts.push_back(name);
    }
    ::closedir(dir);
    std::sort(adapters.begin(), adapters.end(), NaturalLess);
    std::sort(uarts.begin(), uarts.end(), NaturalLess);
    std::vector<std::string> paths;
    for (const auto* group : {&adapters, &uarts})
        for (const auto& name : *group)
            paths.push_back(dev_dir + "/" + name);
    return paths;
}

std::string port_map_os::DefaultDevice(unsigned n) {
    const auto ports = EnumerateSerialPorts("/sys/class/tty");
    return n <= ports.size() ? ports[n - 1] : "";
}

std::string port_map_os::MappedDevice(const std::string& value) {
    return value;
}

std::string port_map_os::OtherComDevice(const std::string& name,
                                          std::optional<unsigned> number) {
    // COM and a number is a port without a device here; anything else a path.
    return number ? std::string() : name;
}

} // namespace tollander::platform
