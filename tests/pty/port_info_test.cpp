// The port facts, read without opening the device: a pseudo-terminal dressed
// as a USB adapter in a sysfs tree of the test's own, and child processes
// that hold its ends open.
#include "platform/serial/port_info.h"
#include "tests/pty/pty_fixture.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace tollander::platform {
namespace {

namespace fs = std::filesystem;

// A child that runs `hold` and then keeps what it opened until destroyed.
class Holder {
public:
    explicit Holder(const std::function<void()>& hold) {
        int ready[2], stay[2];
        if (pipe(ready) != 0 || pipe(stay) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(stay[1]);
            hold();
            char c = 1;
            [[maybe_unused]] auto w = write(ready[1], &c, 1);
            [[maybe_unused]] auto r = read(stay[0], &c, 1); // until the parent lets go
            _exit(0);
        }
        close(ready[1]);
        close(stay[0]);
        char c = 0;
        [[maybe_unused]] auto r = read(ready[0], &c, 1);
        close(ready[0]);
        release_ = stay[1];
    }
    ~Holder() {
        if (release_ >= 0) close(release_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    int Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int release_ = -1;
};

class PortInfo : public ::testing::Test {
protected:
    void SetUp() override {
        device_ = pty_.Path();
        std::string pattern = (fs::temp_directory_path() / "tollander-portinfo-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        fs::remove_all(dir_);
    }

    test::Pty pty_;
    std::string device_;
    std::string dir_;
};

TEST_F(PortInfo, FactsOfAUsbAdapterFromSysfsAndByIdNames) {
    // sysfs as a USB adapter's tty looks: the tty's device is the adapter's
    // port, whose driver is the adapter's; the USB device above carries the
    // identity.
    const fs::path sys = fs::path(dir_) / "sys";
    const fs::path usb = sys / "devices/pci0000:00/usb1/1-2";
    const fs::path port = usb / "1-2:1.0/ttyUSB0";
    fs::create_directories(port);
    fs::create_directories(sys / "bus/usb-serial/drivers/ftdi_sio");
    fs::create_directory_symlink(sys / "bus/usb-serial/drivers/ftdi_sio", port / "driver");
    fs::create_directory_symlink(sys / "bus/usb-serial", port / "subsystem");
    for (const auto& [file, text] :
         std::vector<std::pair<std::string, std::string>>{{"idVendor", "0403"},
                                                          {"idProduct", "6001"},
                                                          {"manufacturer", "FTDI"},
                                                          {"product", "FT232R USB UART"}})
        std::ofstream(usb / file) << text << "\n";
    const std::string tty = fs::path(device_).filename().string();
    fs::create_directories(sys / "class/tty" / tty);
    fs::create_directory_symlink(port, sys / "class/tty" / tty / "device");
    const fs::path by_id = fs::path(dir_) / "by-id";
    fs::create_directories(by_id);
    fs::create_symlink(device_, by_id / "usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0");
    fs::create_symlink("/dev/null", by_id / "usb-Other_Device-if00");

    SystemRoots roots;
    roots.sysfs_tty = (sys / "class/tty").string();
    roots.by_id = by_id.string();
    const PortFacts facts = DescribeDevice(device_, roots);

    EXPECT_EQ(PortFactLines(2, facts),
              (std::vector<std::string>{
                  "COM2: " + device_,
                  "  by-id: " + (by_id / "usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0").string(),
                  "  driver: ftdi_sio",
                  "  usb id: 0403:6001",
                  "  manufacturer: FTDI",
                  "  product: FT232R USB UART",
                  "  can open: yes",
              }));
}

TEST_F(PortInfo, HoldersAreOtherProcessesWithTheDeviceOpenNotItsFarEnd) {
    // This process holds both ends; a child keeps only the master (the far
    // end, as a virtual modem does), another only the device, a third
    // neither.
    Holder far_end([&] { close(pty_.Slave()); });
    Holder user([&] { close(pty_.Master()); });
    Holder bystander([&] {
        close(pty_.Master());
        close(pty_.Slave());
    });

    const auto holders = DeviceHolders(device_);
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].pid, user.Pid());
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    EXPECT_EQ(holders[0].name, name); // a forked child keeps the name
    EXPECT_EQ(HoldersText(holders), name + " (PID " + std::to_string(user.Pid()) + ")");
}

// Whether the user can open a device, seen without opening it. (Permission
// needs an ordinary user: the end-to-end tests run that case.)
// A serial server's port is listed from its name alone: nothing connects.
TEST_F(PortInfo, ASerialServersPortIsListedFromItsName) {
    EXPECT_EQ(PortFactLines(1, DescribeDevice("rfc2217://127.0.0.1:9")),
              (std::vector<std::string>{
                  "COM1: rfc2217://127.0.0.1:9",
                  "  driver: serial server, RFC 2217 (Telnet COM-port control)",
                  "  can open: not tried (the serial server is reached when the port opens)"}));
    EXPECT_EQ(PortFactLines(2, DescribeDevice("socket://[::1]:9")).at(1),
              "  driver: serial server, raw TCP stream");
    EXPECT_EQ(PortFactLines(3, DescribeDevice("socket://127.0.0.1")),
              (std::vector<std::string>{"COM3: socket://127.0.0.1",
                                        "  can open: no (not a serial server's port; write "
                                        "rfc2217://HOST:PORT or socket://HOST:PORT)"}));
}

TEST_F(PortInfo, AccessWithoutOpening) {
    const std::string file = dir_ + "/plain";
    std::ofstream(file) << "x";
    struct Case {
        std::string device;
        DeviceFault access;
        std::string line; // the listing's "can open" line
    };
    const std::vector<Case> cases = {
        {device_, DeviceFault::None, "  can open: yes"},
        {dir_ + "/gone", DeviceFault::Missing,
         "  can open: no (no such device; check that the modem's adapter is plugged in and the "
         "port mapped to it)"},
        {file, DeviceFault::NotSerial,
         "  can open: no (not a serial device; map the port to a serial device)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        const PortFacts facts = DescribeDevice(c.device);
        EXPECT_EQ(facts.access, c.access);
        EXPECT_EQ(PortFactLines(1, facts).at(1), c.line);
    }
    EXPECT_EQ(PortFactLines(3, DescribeDevice("")),
              std::vector<std::string>{"COM3: no device mapped"});

    // Another program's lock keeps us out: busy, and it is named.
    Holder locker([&] {
        close(pty_.Master());
        close(pty_.Slave());
        flock(open(device_.c_str(), O_RDWR | O_NOCTTY), LOCK_EX | LOCK_NB);
    });
    const PortFacts locked = DescribeDevice(device_);
    EXPECT_EQ(locked.access, DeviceFault::Busy);
    const auto lines = PortFactLines(1, locked);
    EXPECT_EQ(lines.at(1), "  can open: no (in use by another program; close the program that "
                           "holds it)");
    EXPECT_EQ(lines.at(2).rfind("  open in: ", 0), 0u);
    EXPECT_NE(lines.at(2).find("(PID " + std::to_string(locker.Pid()) + ")"), std::string::npos);
}

} // namespace
} // namespace tollander::platform
