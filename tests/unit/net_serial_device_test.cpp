// The network serial device against a server this test plays on the
// loopback address: the Telnet and COM-port exchange byte by byte, IAC
// escaped both ways, the modem's lines from the server's notifications, the
// server's pause, the end of the connection as a hang-up, a write that the
// modem's answer ends, and host names looked up within the open's bound.
#include "platform/serial/net_serial_device.h"

#include "platform/thread/clock.h"
#include "tests/common/serial_server.h"

#include <fstream>
#include <future>
#include <regex>

#include <gtest/gtest.h>

namespace tollander::platform {
namespace {

using namespace std::chrono_literals;
using test::AgreeToComPort;
using test::Bytes;
using test::ComPort;
using test::SerialServer;
using test::ServerConnection;

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
        const auto name = ParseNetworkPort(c.name);
        ASSERT_EQ(name.has_value(), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(name->telnet, c.telnet);
        EXPECT_EQ(name->host, c.host);
    }
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

// Opens `device` on the server's RFC 2217 port, checking the device's half
// of the negotiation; the server agrees and tells CTS and carrier.
int OpenOverRfc2217(SerialServer& server, ServerConnection& client, SerialDevice& device) {
    auto opened =
        std::async(std::launch::async, [&] { return device.open(server.Name("rfc2217://")); });
    client = server.Accept();
    EXPECT_TRUE(AgreeToComPort(client));
    client.Send(ComPort(107, {0x90})); // CTS and carrier
    return opened.get();
}

TEST(NetSerialDevice, SpeaksRfc2217WithTheServer) {
    SerialServer server;
    ServerConnection client;
    auto device = MakeNetworkSerialDevice();
    ASSERT_EQ(OpenOverRfc2217(server, client, *device), 0) << device->last_error_text();
    device->set_event_mask(kEvDefaultMask);
    std::uint8_t lines = 0;
    device->modem_lines(lines);
    EXPECT_EQ(lines, kLineCts | kLineCarrier);

    LineSettings s;
    s.baud = 115200;
    s.rts_control = LineControl::handshake;
    ASSERT_EQ(device->write_settings(s), 0);
    EXPECT_TRUE(client.Receive(ComPort(1, {0x00, 0x01, 0xC2, 0x00})));
    EXPECT_TRUE(client.Receive(ComPort(2, {8})));
    EXPECT_TRUE(client.Receive(ComPort(3, {1})));
    EXPECT_TRUE(client.Receive(ComPort(4, {1})));
    EXPECT_TRUE(client.Receive(ComPort(5, {3}))); // hardware flow control
    EXPECT_TRUE(client.Receive(ComPort(5, {8}))); // DTR on

    // IAC doubled on the way out, and undoubled on the way in.
    const Bytes data{'A', 255, 'B'};
    EXPECT_EQ(device->write(data.data(), data.size()), 3);
    EXPECT_TRUE(client.Receive({'A', 255, 255, 'B'}));
    client.Send({'x', 255, 255, 'y'});
    EXPECT_EQ(AwaitEvents(*device, kEvRxChar), kEvRxChar);
    std::uint8_t in[8] = {};
    EXPECT_EQ(device->read(in, sizeof in), 3);
    EXPECT_EQ(Bytes(in, in + 3), (Bytes{'x', 255, 'y'}));

    ASSERT_EQ(device->purge(PurgeQueue::input), 0);
    EXPECT_TRUE(client.Receive(ComPort(12, {1})));

    // The server asks for a pause: nothing is sent until it resumes.
    client.Send(ComPort(108, {}));
    client.Send(ComPort(107, {0x00})); // and CTS and carrier drop
    EXPECT_EQ(AwaitEvents(*device, kEvCts | kEvCarrier), kEvCts | kEvCarrier);
    device->set_write_timeout(300);
    EXPECT_EQ(device->write(data.data(), 1), 0);
    client.Send(ComPort(109, {}));
    device->set_write_timeout(10000);
    EXPECT_EQ(device->write(data.data() + 2, 1), 1);
    EXPECT_TRUE(client.Receive({'B'}));

    // The server goes: a hang-up, told once, and nothing more is taken.
    client.Close();
    EXPECT_EQ(AwaitEvents(*device, kEvRxChar | kEvCarrier), kEvRxChar | kEvCarrier);
    device->modem_lines(lines);
    EXPECT_EQ(lines, 0);
    EXPECT_LE(device->write(data.data(), 1), 0);
    device->close();
    EXPECT_FALSE(device->is_open());
}

TEST(NetSerialDevice, RawStreamCarriesBytesAsTheyAre) {
    SerialServer server;
    auto device = MakeNetworkSerialDevice();
    ASSERT_EQ(device->open(server.Name("socket://")), 0) << device->last_error_text();
    auto client = server.Accept();
    device->set_event_mask(kEvDefaultMask);
    LineSettings s;
    s.baud = 115200;
    ASSERT_EQ(device->write_settings(s), 0); // nothing sent: the server's settings stand
    const Bytes data{255, 251, 44, 'A'};
    EXPECT_EQ(device->write(data.data(), data.size()), 4);
    EXPECT_TRUE(client.Receive(data));
    client.Send(data);
    EXPECT_EQ(AwaitEvents(*device, kEvRxChar), kEvRxChar);
    std::uint8_t in[8] = {};
    EXPECT_EQ(device->read(in, sizeof in), 4);
    EXPECT_EQ(Bytes(in, in + 4), data);
    std::uint8_t lines = 0;
    device->modem_lines(lines); // a cable without modem lines
    EXPECT_EQ(lines, kLineCts | kLineDsr | kLineCarrier);
}

// A server that closes before the line's data went out, or says words of
// its own and closes (ser2net to a second client of a raw port), gave the
// port to somebody else, or takes none: the device says so in the server's
// words, whether they crossed the line's first data on the way or came
// after it, as the line's fault from the moment it closed, and a write then
// says the same. One that closes without a word after the data has hung up.
TEST(NetSerialDevice, AServerThatClosesLeavesWhyAsTheLinesFault) {
    enum Order { WordsAndClose, WordsDataClose, DataWordsClose, DataClose };
    const std::string refused = "the serial server closed the connection (\"Port already in use\"); "
                                "it may be in use by another client";
    const struct {
        const char* name;
        Order order;
        std::string text;
    } cases[] = {
        {"the close before the line's data", WordsAndClose,
         "the serial server closed the connection at once (\"Port already in use\"); it may be in "
         "use by another client"},
        {"the words before the line's data, the close after it", WordsDataClose, refused},
        {"the words and the close after the line's data", DataWordsClose, refused},
        {"a close without words after the line's data", DataClose,
         "the serial server closed the connection"},
    };
    const std::string words = "Port already in use\r\n";
    const std::uint8_t byte = 'A';
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SerialServer server;
        auto device = MakeNetworkSerialDevice();
        ASSERT_EQ(device->open(server.Name("socket://")), 0) << device->last_error_text();
        auto client = server.Accept();
        device->set_event_mask(kEvDefaultMask);
        if (c.order == WordsDataClose) {
            client.Send(Bytes(words.begin(), words.end()));
            ASSERT_EQ(AwaitEvents(*device, kEvRxChar), kEvRxChar);
        }
        if (c.order != WordsAndClose) {
            ASSERT_EQ(device->write(&byte, 1), 1);
            ASSERT_TRUE(client.Receive({'A'}));
        }
        if (c.order == WordsAndClose || c.order == DataWordsClose)
            client.Send(Bytes(words.begin(), words.end()));
        client.Close();
        ASSERT_EQ(AwaitEvents(*device, kEvCarrier), kEvCarrier);
        const std::string said = server.Name("socket://") + ": " + c.text;
        EXPECT_EQ(device->last_fault(), DeviceFault::Closed);
        EXPECT_EQ(device->last_error_text(), said);
        EXPECT_EQ(device->write(&byte, 1), 0);
        EXPECT_EQ(device->last_fault(), DeviceFault::Closed);
        EXPECT_EQ(device->last_error_text(), said);

        // Our own close is no close of the server's, and the next open
        // starts without the last one's.
        device->close();
        ASSERT_EQ(device->open(server.Name("socket://")), 0) << device->last_error_text();
        const auto held = server.Accept(); // held open: this close is ours
        device->close();
        EXPECT_EQ(device->last_fault(), DeviceFault::None);
        EXPECT_EQ(device->last_error_text(), "");
    }
}

// The modem answers while a write waits, for room on the paced line or for
// the server's leave to go on: the wait ends at once, nothing more of the
// bytes goes out, and the answer is there to read. A write that did not
// listen would go on for seconds.
TEST(NetSerialDevice, AnAnswerWhileTheWriteWaitsEndsAListeningWrite) {
    for (const bool suspended : {false, true}) {
        SCOPED_TRACE(suspended ? "the server suspended the line" : "the paced line is full");
        SerialServer server;
        ServerConnection client;
        auto device = MakeNetworkSerialDevice();
        if (suspended) {
            ASSERT_EQ(OpenOverRfc2217(server, client, *device), 0) << device->last_error_text();
        } else {
            ASSERT_EQ(device->open(server.Name("socket://")), 0) << device->last_error_text();
            client = server.Accept();
        }
        device->set_event_mask(kEvDefaultMask);
        LineSettings s;
        s.baud = 300; // 33 ms a character: 64 of them take 2 s
        ASSERT_EQ(device->write_settings(s), 0);
        ASSERT_EQ(device->set_queue_sizes(0, 16), 0);
        if (suspended) {
            // The pause, then a byte that shows it was taken.
            client.Send(ComPort(108, {}));
            client.Send({'x'});
            ASSERT_EQ(AwaitEvents(*device, kEvRxChar), kEvRxChar);
            std::uint8_t x = 0;
            ASSERT_EQ(device->read(&x, 1), 1);
        }
        device->set_write_timeout(20000);
        const Bytes block(64, 'B');
        bool heard = false;
        auto writing = std::async(std::launch::async, [&] {
            return device->write_listening(block.data(), block.size(), heard);
        });
        if (!suspended) {
            ASSERT_TRUE(client.Receive(Bytes(8, 'B'))); // the first piece
        }
        client.Send({'E'});
        const int written = writing.get();
        EXPECT_TRUE(heard);
        ASSERT_LE(written, 0);
        const auto taken = static_cast<std::size_t>(-written);
        EXPECT_LT(taken, block.size());
        EXPECT_EQ(taken == 0, suspended);
        // What was taken, and nothing after it but the next write.
        const std::uint8_t next = 'Z';
        if (suspended) client.Send(ComPort(109, {}));
        ASSERT_EQ(device->write(&next, 1), 1);
        Bytes rest(taken - (suspended ? 0 : 8), 'B');
        rest.push_back('Z');
        EXPECT_TRUE(client.Receive(rest));
        std::uint8_t answer = 0;
        EXPECT_EQ(device->read(&answer, 1), 1);
        EXPECT_EQ(answer, 'E');
    }
}

// Whether /etc/hosts names localhost: then its lookup asks no name server.
bool HostsNameLocalhost() {
    std::ifstream hosts("/etc/hosts");
    std::string line;
    const std::regex entry(R"(^\s*127\.0\.0\.1\s.*\blocalhost\b)");
    while (std::getline(hosts, line))
        if (std::regex_search(line, entry)) return true;
    return false;
}

TEST(NetSerialDevice, OpensAPortNamedByHostName) {
    if (!HostsNameLocalhost()) GTEST_SKIP() << "/etc/hosts does not name localhost";
    SerialServer server;
    auto device = MakeNetworkSerialDevice();
    ASSERT_EQ(device->open("socket://localhost:" + std::to_string(server.Port())), 0)
        << device->last_error_text();
    auto client = server.Accept();
    const std::uint8_t byte = 'A';
    EXPECT_EQ(device->write(&byte, 1), 1);
    EXPECT_TRUE(client.Receive({'A'}));
}

// Ends (its destructor runs) with the last copy of the resolver that holds it.
struct Tripwire {
    std::promise<void> gone;
    ~Tripwire() { gone.set_value(); }
};

// A name the lookup does not know fails the open with the system's words; a
// lookup that outlasts the open's bound fails it within the bound, and the
// lookup, left to itself, finishes after the device is gone.
TEST(NetSerialDevice, AHostNameIsLookedUpWithinTheOpenBound) {
    SerialServer server;
    const std::string port = std::to_string(server.Port());
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    auto tripwire = std::make_shared<Tripwire>();
    std::future<void> lookup_gone = tripwire->gone.get_future();
    {
        const struct {
            const char* name;
            NetResolver resolver;
            std::string reason;
        } cases[] = {
            {"unknown",
             [](const std::string&, const std::string&) {
                 net_os::Resolution none;
                 none.failure = net_os::ConnectFailure::Resolve;
                 none.text = "Name or service not known";
                 return none;
             },
             "rfc2217://rack-3.example:" + port +
                 ": the host name rack-3.example was not found (Name or service not known); check "
                 "the name, or name the server by its address"},
            {"slow",
             [released, tripwire](const std::string&, const std::string& p) {
                 released.wait();
                 return net_os::resolve("127.0.0.1", p);
             },
             "rfc2217://rack-3.example:" + port +
                 ": the host name rack-3.example did not resolve within 1980 ms; check the name "
                 "and "
                 "the name server, or name the server by its address"},
        };
        tripwire.reset(); // the slow resolver's copies hold it now
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            auto device = MakeNetworkSerialDevice(c.resolver);
            const std::int64_t start = MonotonicMilliseconds();
            EXPECT_EQ(device->open("rfc2217://rack-3.example:" + port), -kDevNoSuchDevice);
            EXPECT_LT(MonotonicMilliseconds() - start, kNetOpenLimit.count() + 1000);
            EXPECT_EQ(device->last_error_text(), c.reason);
            EXPECT_FALSE(device->is_open());
        }
    }
    // The slow lookup ends after its device and the cases are gone.
    release.set_value();
    EXPECT_EQ(lookup_gone.wait_for(10s), std::future_status::ready);
}

} // namespace
} // namespace tollander::platform
