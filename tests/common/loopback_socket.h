// A TCP socket of the tests' own on the loopback address, at a port the
// system picks: what every server a test plays listens on.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace tollander::test {

// Bound to 127.0.0.1 and listening with `backlog` (not listening when it is
// negative: a port that refuses every connection); `port` gets the port.
inline int LoopbackSocket(int backlog, int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (backlog >= 0 && ::listen(fd, backlog) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("no socket on the loopback address");
    }
    port = ntohs(a.sin_port);
    return fd;
}

} // namespace tollander::test
