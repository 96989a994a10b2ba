// The sockets of the network serial device on Windows (Winsock).
#include "platform/serial/net_serial_device_os.h"

#include "platform/text_win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

namespace tollander::platform::net_os {

namespace {

thread_local int last_error = 0;

// Winsock is Started once, on first use, for the life of the program.
bool Started() {
    static const bool ok = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}

std::string WordsOf(int err) {
    return win32::SystemMessage(static_cast<unsigned long>(err));
}

ConnectFailure FailureOf(int err) {
    switch (err) {
    case WSAECONNREFUSED:
        return ConnectFailure::Refused;
    case WSAETIMEDOUT:
        return ConnectFailure::Timeout;
    default:
        return ConnectFailure::Other;
    }
}

int TryAddress(const Address& a, int limit_ms, SOCKET& out) {
    const SOCKET s = ::socket(a.family, a.socktype, a.protocol);
    if (s == INVALID_SOCKET) return ::WSAGetLastError();
    u_long nonblocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonblocking);
    if (::connect(s, reinterpret_cast<const sockaddr*>(a.bytes.data()),
                  static_cast<int>(a.bytes.size())) != 0) {
        int err = ::WSAGetLastError();
        if (err != WSAEWOULDBLOCK && err != WSAEINPROGRESS) {
            ::closesocket(s);
            return err;
        }
        WSAPOLLFD p{s, POLLWRNORM, 0};
        const int ready = ::WSAPoll(&p, 1, limit_ms);
        err = WSAETIMEDOUT;
        if (ready > 0) {
            int len = sizeof err;
            if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
                err = ::WSAGetLastError();
            else if (err == 0 && (p.revents & (POLLERR | POLLHUP)))
                err = WSAECONNREFUSED;
        } else if (ready < 0) {
            err = ::WSAGetLastError();
        }
        if (err != 0) {
            ::closesocket(s);
            return err;
        }
    }
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    out = s;
    return 0;
}

} // namespace

Resolution resolve(const std::string& host, const std::string& port) {
    Resolution r;
    if (!Started()) {
        r.failure = ConnectFailure::Other;
        r.text = "the network is not available (Winsock did not start)";
        return r;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        r.failure = ConnectFailure::Resolve;
        r.text = WordsOf(rc);
        return r;
    }
    for (const addrinfo* a = found; a; a = a->ai_next) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(a->ai_addr);
        r.addresses.push_back(
            {a->ai_family, a->ai_socktype, a->ai_protocol, {bytes, bytes + a->ai_addrlen}});
    }
    ::freeaddrinfo(found);
    return r;
}

Socket connect_one(const Address& address, int limit_ms, ConnectFailure& failure,
                   std::string& text) {
    SOCKET s = INVALID_SOCKET;
    const int err = TryAddress(address, limit_ms, s);
    if (err == 0) {
        failure = ConnectFailure::None;
        return static_cast<Socket>(s);
    }
    failure = FailureOf(err);
    text = WordsOf(err);
    return kNoSocket;
}

long SendSome(Socket s, const std::uint8_t* bytes, std::size_t n) {
    const int put = ::send(static_cast<SOCKET>(s), reinterpret_cast<const char*>(bytes),
                           static_cast<int>(std::min<std::size_t>(n, 1 << 20)), 0);
    if (put != SOCKET_ERROR) return put;
    const int err = ::WSAGetLastError();
    if (err == WSAEWOULDBLOCK || err == WSAEINTR) return 0;
    last_error = err;
    return -1;
}

long ReceiveSome(Socket s, std::uint8_t* bytes, std::size_t n) {
    const int got = ::recv(static_cast<SOCKET>(s), reinterpret_cast<char*>(bytes),
                           static_cast<int>(std::min<std::size_t>(n, 1 << 20)), 0);
    if (got != SOCKET_ERROR) return got;
    const int err = ::WSAGetLastError();
    if (err == WSAEWOULDBLOCK || err == WSAEINTR) return -1;
    last_error = err;
    return -2;
}

int WaitReady(Socket s, bool for_write, int ms) {
    WSAPOLLFD p{static_cast<SOCKET>(s), static_cast<SHORT>(for_write ? POLLWRNORM : POLLRDNORM),
                0};
    const int ready = ::WSAPoll(&p, 1, ms);
    if (ready == SOCKET_ERROR) {
        last_error = ::WSAGetLastError();
        return -1;
    }
    return ready > 0 ? 1 : 0;
}

void Shut(Socket s) {
    ::shutdown(static_cast<SOCKET>(s), SD_BOTH);
}

void Release(Socket s) {
    ::closesocket(static_cast<SOCKET>(s));
}

std::string LastErrorText() {
    return WordsOf(last_error);
}

} // namespace tollander::platform::net_os
