// What the system knows about the device behind a port, found without
// opening it (nothing reaches the device): its names, driver and USB
// identity from sysfs, whether the current user may open it, and which other
// processes have it open. For the port listing and the rows' tooltips.
#pragma once

#include <string>
#include <vector>

#include "platform/serial/device_fault.h"

namespace tollander::platform {

struct DeviceHolder {
    int pid = 0;
    std::string name; // the process's command name
};

struct PortFacts {
    std::string device;             // as mapped ("" when the port has none)
    std::string resolved;           // the device node it leads to, links followed
    std::vector<std::string> by_id; // its /dev/serial/by-id names
    std::string driver;
    std::string usb_vendor_id, usb_product_id; // four hex digits each
    std::string manufacturer, product;
    // Why the current user cannot open it (none: it can). Seen without
    // opening: a missing node, its permissions, another program's lock.
    DeviceFault access = DeviceFault::None;
    // Other processes with it open (not this one, not a pseudo-terminal's far
    // end); a lock's holder among them makes `access` busy.
    std::vector<DeviceHolder> holders;
};

// Where the facts are read; tests point them at trees of their own.
struct SystemRoots {
    std::string sysfs_tty = "/sys/class/tty";
    std::string by_id = "/dev/serial/by-id";
    std::string proc = "/proc";
};

PortFacts DescribeDevice(const std::string& device, const SystemRoots& roots = {});
// The device of COM`n` (1 to 4) through the port map.
PortFacts DescribePort(unsigned n, const SystemRoots& roots = {});

// Processes other than this one that have `device` open. The process that
// holds a pseudo-terminal's master is its far end, not a rival, and is left
// out.
std::vector<DeviceHolder> DeviceHolders(const std::string& device,
                                         const std::string& proc_dir = "/proc");

// "minicom (PID 812), gpsd (PID 90)".
std::string HoldersText(const std::vector<DeviceHolder>& holders);

// A serial port the system names itself (Windows: every COM port), with
// what the system knows of its device.
struct SystemPort {
    std::string name;          // "COM7"
    std::string friendly_name; // "USB Serial Port (COM7)"
    std::string usb_vendor_id, usb_product_id;
};

// The system's own serial ports, each marked when it is one of COM1 to COM4
// of this run, and how to map another; none where the system names no ports
// itself (Linux: the map takes them from sysfs).
std::vector<std::string> SystemPortLines();
// How to map a port of the system that is none of COM1 to COM4 of this run
// ("To use COM7 as COM1 of this run: set TOLLANDER_COM1=COM7 ..."); "" when
// there is none.
std::string OtherPortHint();

// The listing of COM`n`: "COMn: DEVICE" (or "COMn: no device mapped"), then
// one indented "name: value" line per fact the system knows.
std::vector<std::string> PortFactLines(unsigned n, const PortFacts& facts);

} // namespace tollander::platform
