// Modems on a serial server: the flasher reaches a virtual modem through a
// real ser2net on the loopback address, over RFC 2217 and the raw stream,
// and every way a server can fail ends within the open's bound with its
// reason beside the row.
#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
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

// What the row says of a raw port whose server said "Port already in use"
// and closed, once the probe's AT had gone out, or before.
const std::string kRefusedAfterTheAt = "the serial server closed the connection (\"Port already "
                                       "in use\"); it may be in use by another client";
const std::string kRefusedAtOnce = "the serial server closed the connection at once (\"Port "
                                   "already in use\"); it may be in use by another client";

// A client of 127.0.0.1:`port`, connected.
int LoopbackClient(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
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
    const int holder = LoopbackClient(server.TelnetPort());
    ASSERT_GE(holder, 0);
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

// Over the raw stream ser2net's refusal is the line's data, then its close,
// and the probe's AT may go out before either arrives, between them or
// after both: the row says why whichever it was.
TEST_F(SerialServerTest, ASecondClientOfTheRawPortIsToldTheServersWords) {
    auto& modem = ServedModem();
    Ser2net server(dir_, modem.Device());
    // Another flasher holds the port: the modem has answered it.
    const int holder = LoopbackClient(server.RawPort());
    ASSERT_GE(holder, 0);
    ASSERT_EQ(send(holder, "AT\r", 3, MSG_NOSIGNAL), 3);
    std::string heard;
    const std::int64_t deadline = platform::MonotonicMilliseconds() + 10000;
    while (!Contains(heard, "OK") && platform::MonotonicMilliseconds() < deadline) {
        pollfd p{holder, POLLIN, 0};
        char buffer[64];
        if (poll(&p, 1, 1000) <= 0) continue;
        const ssize_t n = recv(holder, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        heard.append(buffer, static_cast<std::size_t>(n));
    }
    ASSERT_TRUE(Contains(heard, "OK")) << heard;

    TimedScan(server.Raw());
    close(holder);
    const std::string note = Form().Fields().PortNote[1];
    const std::string prefix = "COM1 (" + server.Raw() + "): ";
    EXPECT_TRUE(note == prefix + kRefusedAfterTheAt || note == prefix + kRefusedAtOnce) << note;
    EXPECT_EQ(Form().EditText(1), "No modem found.");
}

// The same with the order fixed: the server's words before the AT or after
// it, its close after it.
TEST_F(SerialServerTest, ARawPortsRefusalAfterTheAtIsToldInTheServersWords) {
    for (const bool words_first : {true, false}) {
        SCOPED_TRACE(words_first ? "the words before the AT" : "the words after the AT");
        RefusingServer refusing(words_first);
        const std::string port = "socket://127.0.0.1:" + std::to_string(refusing.Port());
        TimedScan(port);
        EXPECT_EQ(Form().Fields().PortNote[1], "COM1 (" + port + "): " + kRefusedAfterTheAt);
        EXPECT_EQ(Form().EditText(1), "No modem found.");
    }
}

// The console flasher says why beside the row and keeps it in the run record.
TEST_F(SerialServerTest, TheReasonIsBesideTheRowAndInTheRunRecord) {
    const std::string flasher = BinDir() + "/tollander-flash-console-sample";
    if (!std::filesystem::exists(flasher)) GTEST_SKIP() << "no console flasher built";
    RefusingServer refusing(/*words_first=*/false);
    const struct {
        std::string port;
        std::string reason;
    } cases[] = {
        {"rfc2217://127.0.0.1:" + std::to_string(FreeLoopbackPort()),
         "connection refused; check that the serial server runs and serves this port"},
        {"socket://127.0.0.1:" + std::to_string(refusing.Port()), kRefusedAfterTheAt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        MapPort(1, c.port);
        Child run({flasher}, "");
        EXPECT_EQ(run.Finish(60s), 2) << run.Output();

        const std::string note = "COM1 (" + c.port + "): " + c.reason;
        EXPECT_TRUE(Contains(run.Output(), note + "\n")) << run.Output();
        const std::string record = ReadFile(dir_ + "/state/tollander-flash/runs.log");
        EXPECT_TRUE(
            Contains(record, "  COM1 = " + c.port + "  [ ] No modem found.\n    " + note + "\n"))
            << record;
    }
}

} // namespace
} // namespace tollander::e2e
