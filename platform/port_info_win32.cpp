// What Windows tells about a COM port without opening it: whether the name
// exists (QueryDosDeviceW) and the device it leads to. Windows shows no other
// holders of a port; an open tells "access denied" instead.
#include "platform/port_info.h"

#include "platform/port_map.h"
#include "platform/text_win32.h"

#include <windows.h>

namespace tollander::platform {

std::vector<DeviceHolder> device_holders(const std::string&, const std::string&) {
    return {};
}

std::string holders_text(const std::vector<DeviceHolder>& holders) {
    std::string text;
    for (const auto& h : holders) {
        if (!text.empty()) text += ", ";
        text += (h.name.empty() ? std::string("a process") : h.name) + " (PID " +
                std::to_string(h.pid) + ")";
    }
    return text;
}

PortFacts describe_device(const std::string& device, const SystemRoots&) {
    PortFacts facts;
    facts.device = device;
    if (device.empty()) {
        facts.access = DeviceFault::unmapped;
        return facts;
    }
    facts.resolved = device;
    const std::string name = device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
    wchar_t target[1024];
    if (::QueryDosDeviceW(win32::Widen(name).c_str(), target, 1024) == 0) {
        facts.access = DeviceFault::missing;
        return facts;
    }
    facts.driver = win32::Narrow(target);
    return facts;
}

PortFacts describe_port(unsigned n, const SystemRoots& roots) {
    return describe_device(com_device_path(n), roots);
}

std::vector<std::string> port_fact_lines(unsigned n, const PortFacts& facts) {
    const std::string port = "COM" + std::to_string(n);
    if (facts.device.empty()) return {port + ": no device mapped"};
    std::vector<std::string> lines{port + ": " + facts.device};
    auto add = [&](const char* label, const std::string& value) {
        if (!value.empty()) lines.push_back(std::string("  ") + label + ": " + value);
    };
    add("device", facts.driver);
    add("can open",
        facts.access == DeviceFault::none
            ? "yes"
            : "no (" + fault_sentence(facts.access, facts.resolved, "cannot be opened") + ")");
    return lines;
}

} // namespace tollander::platform
