// The serial device contract on the Win32 device under Wine: COM1 leads to a
// pseudo-terminal whose far end the Linux test that runs this program plays,
// over a loopback connection (far_end_protocol.h). Skipped without it, as in
// the Windows build's own prefix.
#include "tests/serial_contract/far_end_protocol.h"
#include "tests/serial_contract/serial_contract.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>

namespace tollander::test {
namespace {

class Win32Line {
public:
    static constexpr const char* kNoPermissions =
        "Wine gives a Windows program the rights of the user who runs it: a port it may "
        "not open is the POSIX device's case";
    // Windows refuses a second handle on a COM port (no sharing); Wine keeps
    // no share mode for a device file and lets it open.
    static constexpr const char* kSharesHeldPorts =
        "Wine lets a second handle open a COM port another holds; Windows refuses it";
    static constexpr const char* kNoModemLines =
        "COM1 leads to a pseudo-terminal, which has no modem lines";

    Win32Line() {
        const char* where = std::getenv(far_end::kVariable);
        if (where == nullptr || where[0] == '\0') {
            why_ = std::string("no far end (") + far_end::kVariable + " unset)";
            return;
        }
        static const bool started = [] {
            WSADATA data{};
            return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        }();
        const std::string address = where;
        const auto colon = address.rfind(':');
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (!started || colon == std::string::npos ||
            ::getaddrinfo(address.substr(0, colon).c_str(), address.substr(colon + 1).c_str(),
                          &hints, &found) != 0) {
            why_ = "cannot reach the far end at " + address;
            return;
        }
        socket_ = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
        const bool connected = socket_ != INVALID_SOCKET &&
                               ::connect(socket_, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0;
        ::freeaddrinfo(found);
        char ready = 0;
        if (!connected || !Take(&ready, 1) || ready != far_end::kReady)
            why_ = "the far end at " + address + " did not answer";
    }
    ~Win32Line() {
        if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
    }
    Win32Line(const Win32Line&) = delete;
    Win32Line& operator=(const Win32Line&) = delete;

    std::string Unavailable() const { return why_; }
    std::string Port() const { return "COM1"; }

    void Send(std::string_view bytes) {
        Command(far_end::kSend, static_cast<std::uint32_t>(bytes.size()));
        Put(bytes.data(), bytes.size());
        Done();
    }
    std::string Receive(std::size_t n, std::chrono::milliseconds limit) {
        Command(far_end::kReceive, static_cast<std::uint32_t>(n));
        PutNumber(static_cast<std::uint32_t>(limit.count()));
        std::uint32_t got = 0;
        if (!TakeNumber(got)) return "(the far end went)";
        std::string bytes(got, '\0');
        if (!Take(bytes.data(), got)) return "(the far end went)";
        return bytes;
    }
    void HangUp() {
        Put(&far_end::kHangUp, 1);
        Done();
    }

    // The Linux test maps COM5 to a plain file.
    static std::vector<Unopenable> unopenable_ports() {
        return {{"COM250", platform::DeviceFault::Missing, ""},
                {"COM5", platform::DeviceFault::NotSerial, "not a serial device"}};
    }
    static std::string UnmappedPort() {
        platform::SetComDevicePath(4, "");
        return "COM4";
    }
    static OpenResult OpenAsStranger(const Win32Line&) { return {}; }

private:
    void Put(const char* data, std::size_t n) {
        while (n > 0) {
            const int sent = ::send(socket_, data, static_cast<int>(n), 0);
            if (sent <= 0) return;
            data += sent;
            n -= static_cast<std::size_t>(sent);
        }
    }
    bool Take(char* data, std::size_t n) {
        while (n > 0) {
            const int got = ::recv(socket_, data, static_cast<int>(n), 0);
            if (got <= 0) return false;
            data += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }
    void PutNumber(std::uint32_t value) {
        const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                               static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
        Put(bytes, sizeof bytes);
    }
    bool TakeNumber(std::uint32_t& value) {
        unsigned char bytes[4];
        if (!Take(reinterpret_cast<char*>(bytes), sizeof bytes)) return false;
        value = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
        return true;
    }
    void Command(char command, std::uint32_t n) {
        Put(&command, 1);
        PutNumber(n);
    }
    void Done() {
        char done = 0;
        EXPECT_TRUE(Take(&done, 1) && done == far_end::kDone) << "the far end did not answer";
    }

    SOCKET socket_ = INVALID_SOCKET;
    std::string why_;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Win32Device, SerialContract, Win32Line);

} // namespace
} // namespace tollander::test
