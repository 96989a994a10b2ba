// A serial server's end that a test plays on the loopback address, for the
// network serial device (its own tests, and its run of the device contract):
// the listener, the connections the device makes to it, and the server's
// half of the RFC 2217 opening.
#pragma once

#include "tests/common/loopback_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tollander::test {

using Bytes = std::vector<std::uint8_t>;

// One connection of the device, on the server's side.
class ServerConnection {
public:
    ServerConnection() = default;
    explicit ServerConnection(int fd) : fd_(fd) {}
    ~ServerConnection() { Close(); }
    ServerConnection(ServerConnection&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), got_(std::move(other.got_)) {}
    ServerConnection& operator=(ServerConnection&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
            got_ = std::move(other.got_);
        }
        return *this;
    }

    bool IsOpen() const { return fd_ >= 0; }
    void Send(const Bytes& bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }
    // Ends the connection, as a server that goes.
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Whether `wanted` arrived (within 10 s); what came up to it is used up.
    bool Receive(const Bytes& wanted) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            const auto at = std::search(got_.begin(), got_.end(), wanted.begin(), wanted.end());
            if (at != got_.end()) {
                got_.erase(got_.begin(), at + static_cast<std::ptrdiff_t>(wanted.size()));
                return true;
            }
            if (std::chrono::steady_clock::now() > deadline || Fill(100) < 0) return false;
        }
    }
    // What came: the bytes kept, else the first that come within `limit`
    // (none once it passed or the device closed).
    Bytes ReceiveSome(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (got_.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || Fill(static_cast<int>(left.count())) < 0) break;
        }
        return std::exchange(got_, {});
    }

private:
    // Waits up to `ms` for bytes: 1 when some came, 0 when none did, -1
    // when the connection ended.
    int Fill(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return 0;
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) return -1;
        got_.insert(got_.end(), buffer, buffer + n);
        return 1;
    }

    int fd_ = -1;
    Bytes got_;
};

class SerialServer {
public:
    SerialServer() {
        listener_ = LoopbackSocket(4, port_);
        if (::pipe2(stop_, O_CLOEXEC) != 0) {
            ::close(listener_);
            throw std::runtime_error("cannot play a serial server on the loopback address");
        }
    }
    ~SerialServer() {
        for (const int fd : {listener_, stop_[0], stop_[1]})
            ::close(fd);
    }
    SerialServer(const SerialServer&) = delete;
    SerialServer& operator=(const SerialServer&) = delete;

    int Port() const { return port_; }
    std::string Name(const char* scheme) const {
        return std::string(scheme) + "127.0.0.1:" + std::to_string(port_);
    }
    // The next connection; a closed one when none came within `limit`, or
    // once Stop() was called.
    ServerConnection Accept(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        if (!Await(limit)) return {};
        return ServerConnection(::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC));
    }
    // Whether a connection waits to be accepted, or comes within `limit`;
    // false once Stop() was called.
    bool Await(std::chrono::milliseconds limit) const {
        pollfd p[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        return ::poll(p, 2, static_cast<int>(limit.count())) > 0 && p[1].revents == 0;
    }
    // Ends the Accept() that waits, and every later one.
    void Stop() { [[maybe_unused]] const auto told = ::write(stop_[1], "x", 1); }

private:
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    int port_ = 0;
};

// A COM-port command of the server (RFC 2217), its value as given.
inline Bytes ComPort(std::uint8_t code, const Bytes& value) {
    Bytes out{255, 250, 44, code};
    for (const std::uint8_t b : value)
        out.push_back(b);
    out.push_back(255);
    out.push_back(240);
    return out;
}

// The server's half of the opening over RFC 2217: agrees to COM-port
// control and takes the device's modem-state mask (every change told).
// The device's open then waits for a first COM-port command of the server,
// the caller's. False when the device did not ask as it should.
inline bool AgreeToComPort(ServerConnection& connection) {
    if (!connection.Receive({255, 251, 44})) return false; // WILL COM-PORT-OPTION
    connection.Send({255, 253, 44});                       // DO COM-PORT-OPTION
    return connection.Receive(ComPort(11, {255, 255}));    // modem-state mask, escaped
}

} // namespace tollander::test
