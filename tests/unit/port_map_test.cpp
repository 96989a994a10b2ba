// The port map: the machine's serial ports in the order COM1 and up take
// them, and the device behind a port's name.
#include "platform/serial/port_map.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace tollander::platform {
namespace {

TEST(PortMap, MachinePortsAdaptersFirstUartsThatExistInNaturalOrder) {
    namespace fs = std::filesystem;
    const fs::path sys =
        fs::temp_directory_path() / ("tollander-sysfs-" + std::to_string(::getpid()));
    fs::remove_all(sys);
    auto add = [&](const std::string& name, bool device, int type = -1) {
        fs::create_directories(sys / name);
        if (device) fs::create_directories(sys / name / "device");
        if (type >= 0) std::ofstream(sys / name / "type") << type << "\n";
    };
    add("tty0", false); // a virtual terminal
    add("console", false);
    add("ttyS0", true, 4); // a 16550A
    add("ttyS1", true, 0); // an empty legacy slot
    add("ttyS10", true, 4);
    add("ttyS2", true, 4);
    add("ttyACM0", true);
    add("ttyUSB1", true);
    add("ttyUSB0", true);
    EXPECT_EQ(EnumerateSerialPorts(sys.string(), "/dev"),
              (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyUSB0", "/dev/ttyUSB1",
                                        "/dev/ttyS0", "/dev/ttyS2", "/dev/ttyS10"}));
    fs::remove_all(sys);

    SetComDevicePath(2, "/dev/pts/77");
    EXPECT_EQ(DevicePathFor("\\\\.\\COM2"), "/dev/pts/77");
    EXPECT_EQ(DevicePathFor("com2"), "/dev/pts/77");
    EXPECT_EQ(DevicePathFor("/dev/ttyS3"), "/dev/ttyS3");
    EXPECT_EQ(DevicePathFor("COM9"), "");
    SetComDevicePath(2, std::nullopt);
}

} // namespace
} // namespace tollander::platform
