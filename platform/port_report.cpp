// The words of the port diagnostics, the same on every system: the reason
// and advice put together, the holders, the port listing.
#include "platform/device_fault.h"
#include "platform/port_info.h"

namespace tollander::platform {

std::string fault_sentence(DeviceFault fault, const std::string& device,
                           const std::string& os_text) {
    std::string reason = fault_reason(fault);
    if (reason.empty()) reason = os_text;
    const std::string advice = fault_advice(fault, device);
    if (reason.empty()) return advice;
    return advice.empty() ? reason : reason + "; " + advice;
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

std::vector<std::string> port_fact_lines(unsigned n, const PortFacts& facts) {
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
        facts.access == DeviceFault::none
            ? "yes"
            : "no (" + fault_sentence(facts.access, facts.resolved, "cannot be opened") + ")");
    add("open in", holders_text(facts.holders));
    return lines;
}

} // namespace tollander::platform
