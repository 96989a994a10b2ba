// What Windows tells about a COM port without opening it: whether the name
// exists (QueryDosDeviceW) and the device it leads to. Windows shows no other
// holders of a port; an open tells "access denied" instead.
#include "platform/port_info.h"

#include "platform/port_info_os.h"
#include "platform/text_win32.h"

#include <windows.h>

namespace tollander::platform {

std::vector<DeviceHolder> device_holders(const std::string&, const std::string&) {
    return {};
}

void port_info_os::describe(PortFacts& facts, const SystemRoots&) {
    const std::string& device = facts.device;
    facts.resolved = device;
    const std::string name = device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
    wchar_t target[1024];
    if (::QueryDosDeviceW(win32::Widen(name).c_str(), target, 1024) == 0) {
        facts.access = DeviceFault::missing;
        return;
    }
    facts.driver = win32::Narrow(target);
}

} // namespace tollander::platform
