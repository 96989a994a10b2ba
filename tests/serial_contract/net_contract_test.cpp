// The serial device contract on the network device, over both its schemes:
// the test plays the serial server on the loopback address
// (tests/common/serial_server.h), over rfc2217:// with the Telnet side and a
// modem whose CTS, DSR and carrier are there.
#include "platform/serial/telnet.h"
#include "tests/common/serial_server.h"
#include "tests/serial_contract/serial_contract.h"

#include <condition_variable>
#include <mutex>

namespace tollander::test {
namespace {

// CTS, DSR and carrier, as the server's modem-state notification has them.
constexpr std::uint8_t kModemThere =
    platform::kLineCts | platform::kLineDsr | platform::kLineCarrier;

template <bool kTelnet> class NetLine {
public:
    static constexpr const char* kNoPermissions =
        "a serial server's port has no owner on this machine: the server decides whom it serves";
    static constexpr const char* kNoModemLines =
        kTelnet ? nullptr : "a raw TCP stream carries no modem lines";
    static constexpr const char* kSharesHeldPorts =
        "a serial server's port is the server's to share or refuse, and its refusal comes in "
        "its own words (a closed connection, or an open refused with them)";

    NetLine() : acceptor_([this] { Serve(); }) {
        // Bound, never listening: a port with nothing behind it refuses.
        refusing_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(refusing_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(refusing_, reinterpret_cast<sockaddr*>(&a), &len);
        refusing_port_ = ntohs(a.sin_port);
    }
    ~NetLine() {
        server_.Stop();
        acceptor_.join();
        ::close(refusing_);
    }
    NetLine(const NetLine&) = delete;
    NetLine& operator=(const NetLine&) = delete;

    std::string Unavailable() const { return ""; }
    std::string Port() const { return server_.Name(kScheme); }

    void Send(std::string_view bytes) {
        Bytes out;
        if (kTelnet)
            platform::telnet::Escape(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                     bytes.size(), out);
        else
            out.assign(bytes.begin(), bytes.end());
        std::unique_lock lock(mutex_);
        Current(lock).Send(out);
    }
    // The line's data only: over rfc2217:// the Telnet commands are taken
    // out and IAC undoubled.
    std::string Receive(std::size_t n, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::unique_lock lock(mutex_);
        ServerConnection& connection = Current(lock);
        std::string got = std::exchange(ahead_, {});
        while (got.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            const Bytes raw = connection.ReceiveSome(left);
            if (raw.empty()) break;
            Bytes data = raw;
            if (kTelnet) {
                std::vector<platform::telnet::Event> events;
                data.clear();
                parser_.Feed(raw.data(), raw.size(), data, events);
            }
            got.append(data.begin(), data.end());
        }
        // Bytes past the n wanted are the next receive's.
        if (got.size() > n) ahead_ = got.substr(n);
        return got.substr(0, n);
    }
    // The server tells the modem's lines (rfc2217:// only).
    void set_modem_lines(std::uint8_t lines) {
        std::unique_lock lock(mutex_);
        Current(lock).Send(ComPort(platform::telnet::kNotifyModemState, {lines}));
    }
    void HangUp() {
        std::unique_lock lock(mutex_);
        Current(lock).Close();
    }

    std::vector<Unopenable> unopenable_ports() const {
        return {{kScheme + std::string("127.0.0.1:") + std::to_string(refusing_port_),
                 platform::DeviceFault::Other, "connection refused"},
                {kScheme + std::string("127.0.0.1"), platform::DeviceFault::Other,
                 "not a serial server's port"}};
    }
    static std::string UnmappedPort() {
        platform::SetComDevicePath(4, "");
        return "COM4";
    }
    static OpenResult OpenAsStranger(const NetLine&) { return {}; }

private:
    static constexpr const char* kScheme = kTelnet ? "rfc2217://" : "socket://";

    // Under mutex_: the connection of the device's latest open (the device
    // may have opened again since the last call), once the server took it.
    ServerConnection& Current(std::unique_lock<std::mutex>& lock) {
        taken_.wait_for(lock, std::chrono::seconds(10),
                        [&] { return !opening_ && !server_.Await(std::chrono::milliseconds(0)); });
        return current_;
    }

    // Takes each connection in turn; over rfc2217:// it agrees to COM-port
    // control and, as the answer the device's open waits for, tells the
    // modem's lines once the connection is the line's.
    void Serve() {
        // A connection leaves the listener under mutex_ only: Current() sees
        // it either waiting there or being opened.
        while (server_.Await(std::chrono::hours(1))) {
            std::unique_lock taking(mutex_);
            ServerConnection connection = server_.Accept(std::chrono::milliseconds(0));
            if (!connection.IsOpen()) return;
            opening_ = true;
            taking.unlock();
            const bool agreed = !kTelnet || AgreeToComPort(connection);
            std::lock_guard lock(mutex_);
            if (agreed) {
                current_ = std::move(connection);
                parser_ = {};
                if (kTelnet)
                    current_.Send(ComPort(platform::telnet::kNotifyModemState, {kModemThere}));
            }
            opening_ = false;
            taken_.notify_all();
        }
    }

    SerialServer server_;
    std::mutex mutex_;
    std::condition_variable taken_;
    bool opening_ = false;
    ServerConnection current_;
    platform::telnet::Parser parser_;
    std::string ahead_;
    int refusing_ = -1;
    int refusing_port_ = 0;
    std::thread acceptor_;
};

using SocketLine = NetLine<false>;
using Rfc2217Line = NetLine<true>;

INSTANTIATE_TYPED_TEST_SUITE_P(NetworkSocket, SerialContract, SocketLine);
INSTANTIATE_TYPED_TEST_SUITE_P(NetworkRfc2217, SerialContract, Rfc2217Line);

} // namespace
} // namespace tollander::test
