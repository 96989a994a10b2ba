// The sockets of the network serial device on POSIX.
#include "platform/serial/net_serial_device_os.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tollander::platform::net_os {

namespace {

thread_local int last_error = 0;

ConnectFailure FailureOf(int err) {
    switch (err) {
    case ECONNREFUSED:
        return ConnectFailure::Refused;
    case ETIMEDOUT:
        return ConnectFailure::Timeout;
    default:
        return ConnectFailure::Other;
    }
}

// One address: 0, or the errno of the failure.
int TryAddress(const Address& a, int limit_ms, int& out) {
    const int fd = ::socket(a.family, a.socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.protocol);
    if (fd < 0) return errno;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(a.bytes.data()),
                  static_cast<socklen_t>(a.bytes.size())) != 0) {
        if (errno != EINPROGRESS) {
            const int err = errno;
            ::close(fd);
            return err;
        }
        pollfd p{fd, POLLOUT, 0};
        int ready;
        do {
            ready = ::poll(&p, 1, limit_ms);
        } while (ready < 0 && errno == EINTR);
        int err = ETIMEDOUT;
        socklen_t len = sizeof err;
        if (ready > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (ready < 0) err = errno;
        if (err != 0) {
            ::close(fd);
            return err;
        }
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    out = fd;
    return 0;
}

} // namespace

Resolution resolve(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    Resolution r;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        r.failure = ConnectFailure::Resolve;
        r.text = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
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
    int fd = -1;
    const int err = TryAddress(address, limit_ms, fd);
    if (err == 0) {
        failure = ConnectFailure::None;
        return fd;
    }
    failure = FailureOf(err);
    text = std::strerror(err);
    return kNoSocket;
}

long SendSome(Socket s, const std::uint8_t* bytes, std::size_t n) {
    const ssize_t put = ::send(static_cast<int>(s), bytes, n, MSG_NOSIGNAL);
    if (put >= 0) return static_cast<long>(put);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    last_error = errno;
    return -1;
}

long ReceiveSome(Socket s, std::uint8_t* bytes, std::size_t n) {
    const ssize_t got = ::recv(static_cast<int>(s), bytes, n, 0);
    if (got >= 0) return static_cast<long>(got);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
    last_error = errno;
    return -2;
}

int WaitReady(Socket s, bool for_write, int ms) {
    pollfd p{static_cast<int>(s), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    const int ready = ::poll(&p, 1, ms);
    if (ready < 0) {
        if (errno == EINTR) return 0;
        last_error = errno;
        return -1;
    }
    return ready > 0 ? 1 : 0;
}

void Shut(Socket s) {
    ::shutdown(static_cast<int>(s), SHUT_RDWR);
}

void Release(Socket s) {
    ::close(static_cast<int>(s));
}

std::string LastErrorText() {
    return std::strerror(last_error);
}

} // namespace tollander::platform::net_os
