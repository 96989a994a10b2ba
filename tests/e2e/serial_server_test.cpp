// Modems on a serial server: the flasher reaches a virtual modem through a
// real ser2net on the loopback address, over RFC 2217 and the raw stream,
// and every way a server can fail ends within the open's bound with its
// reason beside the row.
#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/thread/clock.h"
#include "platform/serial/net_serial_device.h"
#include "tests/e2e/fixture.h"
#include "tests/e2e/serial_server.h"

namespace tollander::e2e {
namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Both ways of reaching the server, for the tests that run over each.
struct Scheme {
    const char* name;
    std::string (Ser2net::*port)() const;
};
const Scheme kSchemes[] = {{"rfc2217", &Ser2net::Rfc2217}, {"socket", &Ser2net::Raw}};

class SerialServerTest : public E2eTest {
protected:
    // The milliseconds a scan with COM1 mapped to `device` takes.
    std::int64_t TimedScan(const std::string& device) {
        MapPort(1, device);
        StartApp(PackFlasher(), /*debug=*/true);
        const std::int64_t start = platform::MonotonicMilliseconds();
        Scan();
        return platform::MonotonicMilliseconds() - start;
    }
};

TEST_F(SerialServerTest, ProbeFindsTheModemThroughTheServer) {
    auto& modem = ServedModem();
    Ser2net server(dir_, modem.Device());
    for (const auto& scheme : kSchemes) {
        SCOPED_TRACE(scheme.name);
        MapPort(1, (server.*scheme.port)());
        StartApp(PackFlasher());
        Scan();
        EXPECT_EQ(Log(), ScanOneModemLines());
        EXPECT_EQ(Form().EditText(1), "Tollander modem found.");
        EXPECT_EQ(Form().Fields().PortNote[1], "");
    }
}

// The same over IPv6: ser2net on ::1, the ports named [::1]:PORT.
TEST_F(SerialServerTest, ProbeFindsTheModemThroughTheServerOverIpv6) {
    if (!HasIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
    auto& modem = ServedModem();
    Ser2net server(dir_, modem.Device(), "::1");
    for (const auto& scheme : kSchemes) {
        SCOPED_TRACE(scheme.name);
        const std::string port = (server.*scheme.port)();
        ASSERT_EQ(port.find(std::string(scheme.name) + "://[::1]:"), 0u) << port;
        MapPort(1, port);
        StartApp(PackFlasher());
        Scan();
        EXPECT_EQ(Log(), ScanOneModemLines());
        EXPECT_EQ(Form().EditText(1), "Tollander modem found.");
        EXPECT_EQ(Form().Fields().PortNote[1], "");
    }
}

TEST_F(SerialServerTest, EveryFailureEndsWithinTheOpenBoundWithItsReason) {
    // The baseline: a scan whose COM1 open fails at once.
    const std::int64_t baseline = TimedScan("");

    auto& modem = ServedModem();
    Ser2net server(dir_, modem.Device());
    Listener silent;
    silent.Fill(); // a further connection is never answered
    Listener mute; // accepts (in its backlog) and says nothing
    MalformedTelnetServer malformed;
    const std::string loopback = "127.0.0.1:";
    const struct {
        std::string device;
        std::string reason;
    } cases[] = {
        {"rfc2217://" + loopback + std::to_string(FreeLoopbackPort()),
         "connection refused; check that the serial server runs and serves this port"},
        {"socket://" + loopback + std::to_string(silent.Port()),
         "the serial server did not answer within 1980 ms"},
        {"rfc2217://" + loopback + std::to_string(mute.Port()),
         "the serial server accepted the connection but did not negotiate within 1980 ms"},
        {"rfc2217://" + loopback + std::to_string(malformed.Port()),
         "the serial server sent malformed Telnet commands"},
        {"rfc2217://127.0.0.1", "not a serial server's port"},
        {"rfc2217://::1:80", "not a serial server's port"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        const std::int64_t took = TimedScan(c.device);
        EXPECT_LE(took - baseline, platform::kNetOpenLimit.count() + 1000);
        EXPECT_TRUE(Contains(Form().Fields().PortNote[1], "COM1 (" + c.device + "): " + c.reason))
            << Form().Fields().PortNote[1];
        EXPECT_EQ(Form().EditText(1), "No modem found.");
    }
}

TEST_F(SerialServerTest, ASecondClientIsRefusedWithTheServersWords) {
    auto& modem = ServedModem();
    Ser2net server(dir_, modem.Device());
    // Another flasher holds the port.
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(server.TelnetPort()));
    ASSERT_EQ(connect(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    char first = 0; // ser2net has taken it as its client once it negotiates
    ASSERT_EQ(recv(holder, &first, 1, 0), 1);

    TimedScan(server.Rfc2217());
    close(holder);
    EXPECT_EQ(Form().Fields().PortNote[1],
              "COM1 (" + server.Rfc2217() +
                  "): the serial server refused the connection (\"Port already in use\"); "
                  "another client holds this port");
    EXPECT_EQ(Form().EditText(1), "No modem found.");
}

// The console flasher says why beside the row and keeps it in the run record.
TEST_F(SerialServerTest, TheReasonIsBesideTheRowAndInTheRunRecord) {
    const std::string flasher = BinDir() + "/tollander-flash-console-sample";
    if (!std::filesystem::exists(flasher)) GTEST_SKIP() << "no console flasher built";
    const std::string port = "rfc2217://127.0.0.1:" + std::to_string(FreeLoopbackPort());
    MapPort(1, port);
    Child run({flasher}, "");
    EXPECT_EQ(run.Finish(60s), 2) << run.Output();

    const std::string note = "COM1 (" + port + "): connection refused; check that the serial "
                             "server runs and serves this port";
    EXPECT_TRUE(Contains(run.Output(), note + "\n")) << run.Output();
    const std::string record = ReadFile(dir_ + "/state/tollander-flash/runs.log");
    EXPECT_TRUE(Contains(record, "  COM1 = " + port + "  [ ] No modem found.\n    " + note + "\n"))
        << record;
}

} // namespace
} // namespace tollander::e2e
