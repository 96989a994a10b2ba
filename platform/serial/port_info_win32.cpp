// What Windows tells about a COM port without opening it: whether the name
// exists (QueryDosDeviceW) and the device it leads to. Windows shows no other
// holders of a port; an open tells "access denied" instead. Every COM port
// of the machine is in HARDWARE\DEVICEMAP\SERIALCOMM; SetupAPI adds the
// friendly name and USB identity of those it has a device for.
#include "platform/serial/port_info.h"

#include "platform/serial/port_info_os.h"
#include "platform/text_win32.h"

#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <map>

namespace tollander::platform {

namespace {

// The "Ports" device class (COM and LPT).
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::string RegistryText(HKEY key, const wchar_t* value) {
    wchar_t text[256];
    DWORD size = sizeof text - sizeof(wchar_t), type = 0;
    if (::RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    text[size / sizeof(wchar_t)] = L'\0';
    return win32::Narrow(text);
}

// The four hex digits after `tag` ("VID_", "PID_") in a hardware id.
std::string IdAfter(const std::string& id, const char* tag) {
    const auto at = id.find(tag);
    return at == std::string::npos ? std::string() : id.substr(at + 4, 4);
}

// What SetupAPI knows of the present ports, by port name.
std::map<std::string, SystemPort> DevicePorts() {
    std::map<std::string, SystemPort> ports;
    const HDEVINFO set = ::SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return ports;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        const HKEY key =
            ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        SystemPort port;
        port.name = RegistryText(key, L"PortName");
        ::RegCloseKey(key);
        if (port.name.empty()) continue;
        wchar_t text[512];
        if (::SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                reinterpret_cast<BYTE*>(text),
                                                sizeof text - sizeof(wchar_t), nullptr))
            port.friendly_name = win32::Narrow(text);
        // The first of the hardware ids: "USB\VID_0403&PID_6001&REV_0600".
        if (::SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr,
                                                reinterpret_cast<BYTE*>(text),
                                                sizeof text - 2 * sizeof(wchar_t), nullptr)) {
            const std::string id = win32::Narrow(text);
            port.usb_vendor_id = IdAfter(id, "VID_");
            port.usb_product_id = IdAfter(id, "PID_");
            if (port.usb_product_id.empty()) port.usb_vendor_id.clear();
        }
        ports[port.name] = port;
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return ports;
}

} // namespace

std::vector<SystemPort> port_info_os::SystemPorts() {
    std::vector<SystemPort> ports;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &key) != ERROR_SUCCESS)
        return ports;
    const auto devices = DevicePorts();
    for (DWORD i = 0;; ++i) {
        wchar_t value[256];
        DWORD value_size = 256;
        if (::RegEnumValueW(key, i, value, &value_size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        SystemPort port;
        port.name = RegistryText(key, value);
        if (port.name.empty()) continue;
        if (const auto found = devices.find(port.name); found != devices.end()) port = found->second;
        ports.push_back(port);
    }
    ::RegCloseKey(key);
    // In the order of their numbers: COM2 before COM10.
    std::stable_sort(ports.begin(), ports.end(), [](const SystemPort& a, const SystemPort& b) {
        return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
    });
    return ports;
}

std::vector<DeviceHolder> DeviceHolders(const std::string&, const std::string&) {
    return {};
}

void port_info_os::Describe(PortFacts& facts, const SystemRoots&) {
    const std::string& device = facts.device;
    facts.resolved = device;
    const std::string name = device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
    wchar_t target[1024];
    if (::QueryDosDeviceW(win32::Widen(name).c_str(), target, 1024) == 0) {
        facts.access = DeviceFault::Missing;
        return;
    }
    facts.driver = win32::Narrow(target);
}

} // namespace tollander::platform
