// The port facts, the same on every system: the holders, a port's facts
// (what they are is the system's) and their listing.
#include "platform/serial/port_info.h"

#include "platform/serial/net_serial_device.h"
#include "platform/serial/port_info_os.h"
#include "platform/serial/port_map.h"

namespace tollander::platform {

PortFacts DescribeDevice(const std::string& device, const SystemRoots& roots) {
    PortFacts facts;
    facts.device = device;
    if (device.empty()) {
        facts.access = DeviceFault::Unmapped;
    } else if (IsNetworkPort(device)) {
        // Told from the name alone: nothing is sent to the server.
        facts.resolved = device;
        const auto name = ParseNetworkPort(device);
        if (!name)
            facts.access = DeviceFault::Other;
        else
            facts.driver = name->telnet ? "serial server, RFC 2217 (Telnet COM-port control)"
                                        : "serial server, raw TCP stream";
    } else {
        port_info_os::Describe(facts, roots);
    }
    return facts;
}

PortFacts DescribePort(unsigned n, const SystemRoots& roots) {
    return DescribeDevice(ComDevicePath(n), roots);
}

std::string HoldersText(const std::vector<DeviceHolder>& holders) {
    std::string text;
    for (const auto& h : holders) {
        if (!text.empty()) text += ", ";
        text += (h.name.empty() ? std::string("a process") : h.name) + " (PID " +
                std::to_string(h.pid) + ")";
    }
    return text;
}

namespace {

// The port of this run (1 to 4) that `name` is, or 0. A port is mapped by
// its name, with or without "\\\\.\\", in any letter case.
unsigned RunPort(const std::string& name) {
    const auto bare = [](std::string text) {
        if (text.rfind("\\\\.\\", 0) == 0) text.erase(0, 4);
        for (char& c : text)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        return text;
    };
    for (unsigned n = 1; n <= kMappedPorts; ++n)
        if (bare(ComDevicePath(n)) == bare(name)) return n;
    return 0;
}

std::string MapHint(const std::vector<SystemPort>& ports) {
    for (const auto& port : ports)
        if (RunPort(port.name) == 0)
            return "To use " + port.name + " as COM1 of this run: set TOLLANDER_COM1=" + port.name +
                   " (TOLLANDER_COM2 to TOLLANDER_COM4 likewise)";
    return {};
}

} // namespace

std::vector<std::string> SystemPortLines() {
    const auto ports = port_info_os::SystemPorts();
    if (ports.empty()) return {};
    std::vector<std::string> lines{"Serial ports of this system:"};
    for (const auto& port : ports) {
        std::string line = "  " + port.name;
        if (const unsigned n = RunPort(port.name); n != 0)
            line += " (COM" + std::to_string(n) + " of this run)";
        if (!port.friendly_name.empty()) line += ": " + port.friendly_name;
        if (!port.usb_vendor_id.empty())
            line += ", usb id " + port.usb_vendor_id + ":" + port.usb_product_id;
        lines.push_back(line);
    }
    if (const std::string hint = MapHint(ports); !hint.empty()) lines.push_back(hint);
    return lines;
}

std::string OtherPortHint() {
    return MapHint(port_info_os::SystemPorts());
}

std::vector<std::string> PortFactLines(unsigned n, const PortFacts& facts) {
    const std::string port = "COM" + std::to_string(n);
    if (facts.device.empty()) return {port + ": no device mapped"};
    std::vector<std::string> lines;
    lines.push_back(port + ": " + facts.device +
                    (facts.resolved != facts.device ? " -> " + facts.resolved : ""));
    auto add = [&](const char* label, const std::string& value) {
        if (!value.empty()) lines.push_back(std::string("  ") + label + ": " + value);
    };
    for (const auto& link : facts.by_id)
        add("by-id", link);
    add("driver", facts.driver);
    if (!facts.usb_vendor_id.empty())
        add("usb id", facts.usb_vendor_id + ":" + facts.usb_product_id);
    add("manufacturer", facts.manufacturer);
    add("product", facts.product);
    add("can open",
        facts.access == DeviceFault::None
            ? (IsNetworkPort(facts.device)
                   ? "not tried (the serial server is reached when the port opens)"
                   : "yes")
            : "no (" + FaultSentence(facts.access, facts.resolved,
                                      IsNetworkPort(facts.device)
                                          ? "not a serial server's port; write rfc2217://HOST:PORT "
                                            "or socket://HOST:PORT"
                                          : "cannot be opened") +
                  ")");
    add("open in", HoldersText(facts.holders));
    return lines;
}

} // namespace tollander::platform
