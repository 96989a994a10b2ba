// The Linux half of the far end the Windows contract suite plays
// (far_end_protocol.h): each connection on the loopback address gets a
// fresh pseudo-terminal, linked at `link` (where the Wine prefix's COM1
// leads), and the commands that write, read and hang it up.
#pragma once

#include "tests/common/loopback_socket.h"
#include "tests/pty/pty_fixture.h"
#include "tests/serial_contract/far_end_protocol.h"

#include <arpa/inet.h>
#include <cstdio>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

namespace tollander::test {

class FarEndServer {
public:
    explicit FarEndServer(std::string link) : link_(std::move(link)) {
        int port = 0;
        listen_ = LoopbackSocket(4, port);
        if (::pipe2(stop_, O_CLOEXEC) != 0) {
            ::close(listen_);
            throw std::runtime_error("cannot serve the far end");
        }
        address_ = "127.0.0.1:" + std::to_string(port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FarEndServer() {
        [[maybe_unused]] const auto told = ::write(stop_[1], "x", 1);
        thread_.join();
        for (const int fd : {listen_, stop_[0], stop_[1]})
            ::close(fd);
    }
    FarEndServer(const FarEndServer&) = delete;
    FarEndServer& operator=(const FarEndServer&) = delete;

    // "host:port", for far_end::kVariable.
    const std::string& Address() const { return address_; }

private:
    // Waits for `fd` to be readable; false once the server stops.
    bool Await(int fd) const {
        for (;;) {
            pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (p[1].revents != 0) return false;
            if (p[0].revents != 0) return true;
        }
    }

    void Serve() {
        while (Await(listen_)) {
            const int line = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (line < 0) continue;
            try {
                ServeLine(line);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "far end: %s\n", e.what());
            }
            ::close(line);
        }
    }

    bool Take(int fd, char* data, std::size_t n) const {
        while (n > 0) {
            if (!Await(fd)) return false;
            const ssize_t got = ::read(fd, data, n);
            if (got <= 0) return false;
            data += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }
    static void Put(int fd, const char* data, std::size_t n) {
        while (n > 0) {
            const ssize_t sent = ::write(fd, data, n);
            if (sent <= 0) throw std::runtime_error("the Windows side went");
            data += sent;
            n -= static_cast<std::size_t>(sent);
        }
    }
    bool TakeNumber(int fd, std::uint32_t& value) const {
        unsigned char bytes[4];
        if (!Take(fd, reinterpret_cast<char*>(bytes), sizeof bytes)) return false;
        value = bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                static_cast<std::uint32_t>(bytes[3]) << 24;
        return true;
    }

    void ServeLine(int fd) {
        Pty pty;
        const std::string fresh = link_ + ".new";
        std::filesystem::remove(fresh);
        std::filesystem::create_symlink(pty.Path(), fresh);
        std::filesystem::rename(fresh, link_);
        Put(fd, &far_end::kReady, 1);
        for (char command = 0; Take(fd, &command, 1);) {
            std::uint32_t n = 0, ms = 0;
            switch (command) {
            case far_end::kSend: {
                if (!TakeNumber(fd, n)) return;
                std::string bytes(n, '\0');
                if (!Take(fd, bytes.data(), n)) return;
                pty.Send(bytes);
                Put(fd, &far_end::kDone, 1);
                break;
            }
            case far_end::kReceive: {
                if (!TakeNumber(fd, n) || !TakeNumber(fd, ms)) return;
                const std::string got = pty.Receive(n, std::chrono::milliseconds(ms));
                const auto size = static_cast<std::uint32_t>(got.size());
                const char head[4] = {static_cast<char>(size), static_cast<char>(size >> 8),
                                      static_cast<char>(size >> 16),
                                      static_cast<char>(size >> 24)};
                Put(fd, head, sizeof head);
                Put(fd, got.data(), got.size());
                break;
            }
            case far_end::kHangUp:
                pty.HangUp();
                Put(fd, &far_end::kDone, 1);
                break;
            default:
                return;
            }
        }
    }

    std::string link_;
    std::string address_;
    int listen_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

} // namespace tollander::test
