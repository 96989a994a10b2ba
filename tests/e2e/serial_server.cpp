#include "tests/e2e/serial_server.h"

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

int LoopbackSocket(int backlog, int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (backlog >= 0 && listen(fd, backlog) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("no loopback socket");
    port = ntohs(a.sin_port);
    return fd;
}

// Whether /proc/net/tcp shows a listener on 127.0.0.1:port.
bool Listening(int port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") return true;
    }
    return false;
}

} // namespace

int FreeLoopbackPort() {
    int port = 0;
    close(LoopbackSocket(-1, port));
    return port;
}

Ser2net::Ser2net(const std::string& work_dir, const std::string& device)
    : telnet_port_(FreeLoopbackPort()), raw_port_(FreeLoopbackPort()) {
    const std::string config = work_dir + "/ser2net.yaml";
    std::ofstream(config) << "connection: &modem-rfc2217\n"
                          << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << telnet_port_ << "\n"
                          << "  connector: serialdev," << device << ",115200n81,local\n"
                          << "  options:\n"
                          << "    kickolduser: false\n"
                          << "connection: &modem-raw\n"
                          << "  accepter: tcp,127.0.0.1," << raw_port_ << "\n"
                          << "  connector: serialdev," << device << ",115200n81,local\n";
    // -n: in the foreground; -u: no UUCP lock files in the system's lock
    // directory.
    child_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/sbin/ser2net", "-n", "-u", "-c", config}, "");
    // ser2net says nothing when it listens; the kernel's table does.
    const auto deadline = Clock::now() + 10s;
    while (!(Listening(telnet_port_) && Listening(raw_port_))) {
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

MalformedTelnetServer::~MalformedTelnetServer() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
}

} // namespace tollander::e2e
