// The network serial device against a server this test plays on the
// loopback address: the Telnet and COM-port exchange byte by byte, IAC
// escaped both ways, the modem's lines from the server's notifications, the
// server's pause, and the end of the connection as a hang-up.
#include "platform/serial/net_serial_device.h"

#include <arpa/inet.h>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace tollander::platform {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

TEST(NetPortName, ReadsTheSchemesHostsAndPorts) {
    const struct {
        const char* name;
        bool ok;
        bool telnet;
        const char* host;
    } cases[] = {
        {"rfc2217://127.0.0.1:4001", true, true, "127.0.0.1"},
        {"socket://rack-3.example:65535", true, false, "rack-3.example"},
        {"rfc2217://[::1]:4001", true, true, "::1"},
        {"rfc2217://::1:4001", false, false, ""}, // IPv6 needs its brackets
        {"rfc2217://127.0.0.1", false, false, ""},
        {"rfc2217://127.0.0.1:0", false, false, ""},
        {"socket://127.0.0.1:65536", false, false, ""},
        {"socket://:4001", false, false, ""},
        {"socket://[::1]4001", false, false, ""},
        {"telnet://127.0.0.1:23", false, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto name = parse_network_port(c.name);
        ASSERT_EQ(name.has_value(), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(name->telnet, c.telnet);
        EXPECT_EQ(name->host, c.host);
    }
}

// The server's end: one connection, read into a buffer until a pattern.
class Server {
public:
    Server() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Server() {
        Close();
        close(listener_);
    }
    std::string Name(const char* scheme) const {
        return std::string(scheme) + "127.0.0.1:" + std::to_string(port_);
    }
    void Accept() { client_ = accept(listener_, nullptr, nullptr); }
    void Send(const Bytes& bytes) { send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void Close() {
        if (client_ >= 0) close(client_);
        client_ = -1;
    }
    // Whether `wanted` arrived (within 10 s); what came up to it is used up.
    bool Receive(const Bytes& wanted) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            const auto at = std::search(got_.begin(), got_.end(), wanted.begin(), wanted.end());
            if (at != got_.end()) {
                got_.erase(got_.begin(), at + static_cast<std::ptrdiff_t>(wanted.size()));
                return true;
            }
            if (std::chrono::steady_clock::now() > deadline) return false;
            pollfd p{client_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            std::uint8_t buffer[4096];
            const ssize_t n = recv(client_, buffer, sizeof buffer, 0);
            if (n <= 0) return false;
            got_.insert(got_.end(), buffer, buffer + n);
        }
    }

private:
    int listener_ = -1;
    int client_ = -1;
    int port_ = 0;
    Bytes got_;
};

Bytes ComPort(std::uint8_t code, const Bytes& value) {
    Bytes out{255, 250, 44, code};
    for (const std::uint8_t b : value)
        out.push_back(b);
    out.push_back(255);
    out.push_back(240);
    return out;
}

// Waits until the device told every one of `events` (10 s at most); the
// events it told meanwhile.
std::uint32_t AwaitEvents(SerialDevice& device, std::uint32_t events) {
    std::uint32_t seen = 0;
    for (int i = 0; i < 100 && (seen & events) != events; ++i) {
        std::uint32_t word = 0;
        device.wait_event_for(word, 100);
        seen |= word;
    }
    return seen & events;
}

TEST(NetSerialDevice, SpeaksRfc2217WithTheServer) {
    Server server;
    auto device = make_network_serial_device();
    auto opened = std::async(std::launch::async,
                             [&] { return device->open(server.Name("rfc2217://")); });
    server.Accept();
    ASSERT_TRUE(server.Receive({255, 251, 44})); // WILL COM-PORT-OPTION
    server.Send({255, 253, 44});                   // DO COM-PORT-OPTION
    ASSERT_TRUE(server.Receive(ComPort(11, {255, 255}))); // modem-state mask, escaped
    server.Send(ComPort(107, {0x90}));             // CTS and carrier
    ASSERT_EQ(opened.get(), 0) << device->last_error_text();
    device->set_event_mask(kEvDefaultMask);
    std::uint8_t lines = 0;
    device->modem_lines(lines);
    EXPECT_EQ(lines, kLineCts | kLineCarrier);

    LineSettings s;
    s.baud = 115200;
    s.rts_control = LineControl::handshake;
    ASSERT_EQ(device->write_settings(s), 0);
    EXPECT_TRUE(server.Receive(ComPort(1, {0x00, 0x01, 0xC2, 0x00})));
    EXPECT_TRUE(server.Receive(ComPort(2, {8})));
    EXPECT_TRUE(server.Receive(ComPort(3, {1})));
    EXPECT_TRUE(server.Receive(ComPort(4, {1})));
    EXPECT_TRUE(server.Receive(ComPort(5, {3}))); // hardware flow control
    EXPECT_TRUE(server.Receive(ComPort(5, {8}))); // DTR on

    // IAC doubled on the way out, and undoubled on the way in.
    const Bytes data{'A', 255, 'B'};
    EXPECT_EQ(device->write(data.data(), data.size()), 3);
    EXPECT_TRUE(server.Receive({'A', 255, 255, 'B'}));
    server.Send({'x', 255, 255, 'y'});
    EXPECT_EQ(AwaitEvents(*device, kEvRxChar), kEvRxChar);
    std::uint8_t in[8] = {};
    EXPECT_EQ(device->read(in, sizeof in), 3);
    EXPECT_EQ(Bytes(in, in + 3), (Bytes{'x', 255, 'y'}));

    ASSERT_EQ(device->purge(PurgeQueue::input), 0);
    EXPECT_TRUE(server.Receive(ComPort(12, {1})));

    // The server asks for a pause: nothing is sent until it resumes.
    server.Send(ComPort(108, {}));
    server.Send(ComPort(107, {0x00})); // and CTS and carrier drop
    EXPECT_EQ(AwaitEvents(*device, kEvCts | kEvCarrier), kEvCts | kEvCarrier);
    device->set_write_timeout(300);
    EXPECT_EQ(device->write(data.data(), 1), 0);
    server.Send(ComPort(109, {}));
    device->set_write_timeout(10000);
    EXPECT_EQ(device->write(data.data() + 2, 1), 1);
    EXPECT_TRUE(server.Receive({'B'}));

    // The server goes: a hang-up, told once, and nothing more is taken.
    server.Close();
    EXPECT_EQ(AwaitEvents(*device, kEvRxChar | kEvCarrier), kEvRxChar | kEvCarrier);
    device->modem_lines(lines);
    EXPECT_EQ(lines, 0);
    EXPECT_LE(device->write(data.data(), 1), 0);
    device->close();
    EXPECT_FALSE(device->is_open());
}

TEST(NetSerialDevice, RawStreamCarriesBytesAsTheyAre) {
    Server server;
    auto device = make_network_serial_device();
    ASSERT_EQ(device->open(server.Name("socket://")), 0) << device->last_error_text();
    server.Accept();
    device->set_event_mask(kEvDefaultMask);
    LineSettings s;
    s.baud = 115200;
    ASSERT_EQ(device->write_settings(s), 0); // nothing sent: the server's settings stand
    const Bytes data{255, 251, 44, 'A'};
    EXPECT_EQ(device->write(data.data(), data.size()), 4);
    EXPECT_TRUE(server.Receive(data));
    server.Send(data);
    EXPECT_EQ(AwaitEvents(*device, kEvRxChar), kEvRxChar);
    std::uint8_t in[8] = {};
    EXPECT_EQ(device->read(in, sizeof in), 4);
    EXPECT_EQ(Bytes(in, in + 4), data);
    std::uint8_t lines = 0;
    device->modem_lines(lines); // a cable without modem lines
    EXPECT_EQ(lines, kLineCts | kLineDsr | kLineCarrier);
}

} // namespace
} // namespace tollander::platform
