#include "tests/e2e/serial_server.h"

#include "tests/common/loopback_socket.h"

#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tollander::e2e {

namespace {

using Clock = std::chrono::steady_clock;

using test::LoopbackSocket;

// Whether /proc/net/tcp (tcp6) shows a listener on 127.0.0.1:port (::1).
bool Listening(int port, bool ipv6) {
    std::ifstream in(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp");
    std::string line;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%s:%04X",
                  ipv6 ? "00000000000000000000000001000000" : "0100007F", port);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") return true;
    }
    return false;
}

} // namespace

// A socket bound to ::1 (listening with a backlog >= 0); -1 when the
// machine has no IPv6 loopback.
int Ipv6LoopbackSocket(int backlog, int& port) {
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    socklen_t len = sizeof a;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        (backlog < 0 || listen(fd, backlog) == 0) &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin6_port);
        return fd;
    }
    if (fd >= 0) close(fd);
    return -1;
}

int FreeLoopbackPort(bool ipv6) {
    int port = 0;
    if (!ipv6) {
        close(LoopbackSocket(-1, port));
        return port;
    }
    const int fd = Ipv6LoopbackSocket(-1, port);
    if (fd < 0) throw std::runtime_error("no IPv6 loopback address");
    close(fd);
    return port;
}

bool HasIpv6Loopback() {
    int port = 0;
    const int fd = Ipv6LoopbackSocket(-1, port);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

Ser2net::Ser2net(const std::string& work_dir, const std::string& device,
                 const std::string& address)
    : ipv6_(address.find(':') != std::string::npos),
      host_(ipv6_ ? "[" + address + "]" : address),
      telnet_port_(FreeLoopbackPort(ipv6_)),
      raw_port_(FreeLoopbackPort(ipv6_)) {
    const std::string config = work_dir + "/ser2net.yaml";
    std::ofstream(config) << "connection: &modem-rfc2217\n"
                          << "  accepter: telnet(rfc2217),tcp," << address << "," << telnet_port_
                          << "\n"
                          << "  connector: serialdev," << device << ",115200n81,local\n"
                          << "  options:\n"
                          << "    kickolduser: false\n"
                          << "connection: &modem-raw\n"
                          << "  accepter: tcp," << address << "," << raw_port_ << "\n"
                          << "  connector: serialdev," << device << ",115200n81,local\n";
    // -n: in the foreground; -u: no UUCP lock files in the system's lock
    // directory.
    child_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/sbin/ser2net", "-n", "-u", "-c", config}, "");
    // ser2net says nothing when it listens; the kernel's table does.
    const auto deadline = Clock::now() + 10s;
    while (!(Listening(telnet_port_, ipv6_) && Listening(raw_port_, ipv6_))) {
        if (Clock::now() > deadline) throw std::runtime_error("ser2net did not listen");
        poll(nullptr, 0, 20);
    }
}

Listener::Listener() : fd_(LoopbackSocket(0, port_)) {}

Listener::~Listener() {
    if (filler_ >= 0) close(filler_);
    close(fd_);
}

void Listener::Fill() {
    filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port_));
    if (connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("cannot fill the listener's backlog");
}

MalformedTelnetServer::MalformedTelnetServer() : fd_(LoopbackSocket(1, port_)) {
    thread_ = std::thread([this] {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0) return;
        const int client = accept(fd_, nullptr, nullptr);
        if (client < 0) return;
        // SE without SB, an unknown command, an over-long subnegotiation.
        std::string junk = "\xff\xf0\xff\x01\xff\xfa\x2c";
        junk += std::string(100, 'x') + "\xff\xf0";
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            if (send(client, junk.data(), junk.size(), MSG_NOSIGNAL) < 0) break;
            pollfd c{client, POLLIN, 0};
            if (poll(&c, 1, 50) > 0) {
                char buffer[256];
                if (recv(client, buffer, sizeof buffer, 0) <= 0) break;
            }
        }
        close(client);
    });
}

RefusingServer::RefusingServer(bool words_first) : fd_(LoopbackSocket(1, port_)) {
    thread_ = std::thread([this, words_first] {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0) return;
        const int client = accept(fd_, nullptr, nullptr);
        if (client < 0) return;
        const std::string words = std::string(kWords) + "\r\n";
        const auto say = [&] { send(client, words.data(), words.size(), MSG_NOSIGNAL); };
        if (words_first) say();
        pollfd c{client, POLLIN, 0};
        char buffer[256];
        if (poll(&c, 1, 10000) > 0 && recv(client, buffer, sizeof buffer, 0) > 0 && !words_first)
            say();
        // The close, then what the client still sends, until it goes: a
        // close with bytes unread would reset the connection instead.
        shutdown(client, SHUT_WR);
        while (poll(&c, 1, 10000) > 0 && recv(client, buffer, sizeof buffer, 0) > 0) {
        }
        close(client);
    });
}

RefusingServer::~RefusingServer() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
}

MalformedTelnetServer::~MalformedTelnetServer() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
}

} // namespace tollander::e2e
