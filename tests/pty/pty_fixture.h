// The pseudo-terminal pair of every serial test (the port, the dispatcher,
// the protocol, the port facts, the device contract and its far end under
// Wine): the device opens the slave side, by path or through the port map;
// the test plays the far end on the master side.
#pragma once

#include "platform/thread/headless_window_thread.h"
#include "platform/serial/port_map.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <termios.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace tollander::test {

class Pty {
public:
    Pty() {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        // Raw before anything is written: no echo, no line buffering.
        termios tio{};
        ::tcgetattr(slave_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave_, TCSANOW, &tio);
        path_ = ::ttyname(slave_);
    }
    ~Pty() {
        if (master_ >= 0) ::close(master_);
        if (slave_ >= 0) ::close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& Path() const { return path_; }
    int Slave() const { return slave_; }
    int Master() const { return master_; }

    // Maps COMn to this terminal.
    void MapTo(unsigned n) const { platform::SetComDevicePath(n, path_); }

    // The far end sends (blocking until the terminal took everything).
    void Send(std::string_view bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error("pty write failed");
            done += static_cast<std::size_t>(n);
        }
    }

    // The far end reads what the port sent: `n` bytes or what came by `limit`.
    std::string Receive(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[4096];
            const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0) break;
            got.append(buf, static_cast<std::size_t>(r));
        }
        return got;
    }

    // The far end goes away, as a pulled USB adapter does.
    void HangUp() {
        ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// A terminal's settings, comparable and printable as a whole.
inline auto TerminalSettings(const termios& t) {
    return std::make_tuple(t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag,
                           std::vector<int>(t.c_cc, t.c_cc + NCCS), ::cfgetispeed(&t),
                           ::cfgetospeed(&t));
}

// Runs the window thread until `done` holds; false when `limit` passed first.
// Each wait blocks until something happens (a notice, a wake-up, a timer).
inline bool PumpUntil(platform::WindowThread& window, const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        window.wait(std::chrono::milliseconds(100));
    }
    return true;
}

} // namespace tollander::test
