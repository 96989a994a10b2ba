// ASCII send of the 619821-byte sample image through a pseudo-terminal:
// once to a far end that takes bytes as a 115200 bit/s line does (11520 B/s),
// once to a far end that reads as fast as it can, and `cat FILE > PTY` on the
// same kind of pty for comparison. Prints the figures; decides nothing.
//
//   bench_protocol [--skip-throttled]
#include "platform/thread/headless_window_thread.h"
#include "platform/serial/port_map.h"
#include "serial/com_port.h"
#include "serial/protocol.h"
#include "tools/mkfirmware/sample_firmware.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace tollander;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr double kLineRate = 11520.0; // bytes per second at 115200 bit/s, 8N1

struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            std::perror("pty");
            std::exit(1);
        }
        slave = ::ptsname(master);
        termios t{};
        ::tcgetattr(master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master, TCSANOW, &t);
    }
    ~Pty() { ::close(master); }
};

// The far end: reads `want` bytes, at most `rate` bytes per second after the
// first one when rate > 0. Gives the time of the first and the last byte.
struct FarEnd {
    Clock::time_point first{}, last{};
    std::size_t got = 0;

    void Run(int fd, std::size_t want, double rate) {
        char buffer[4096];
        while (got < want) {
            std::size_t allowed = sizeof buffer;
            if (rate > 0 && got > 0) {
                const double due = std::chrono::duration<double>(Clock::now() - first).count();
                const auto may = static_cast<std::size_t>(due * rate) + 1;
                if (may <= got) {
                    std::this_thread::sleep_until(first +
                                                  std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(got / rate)));
                    continue;
                }
                allowed = std::min(allowed, may - got);
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 30000) <= 0) break;
            const ssize_t n = ::read(fd, buffer, allowed);
            if (n <= 0) break;
            if (got == 0) first = Clock::now();
            got += static_cast<std::size_t>(n);
            last = Clock::now();
        }
    }
};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// One upload through the protocol; the time from BeginSend to the finish.
// `started` receives the moment of BeginSend.
double SendOnce(const std::string& path, std::size_t size, double rate, FarEnd& far,
                Clock::time_point& started) {
    Pty pty;
    platform::SetComDevicePath(1, pty.slave);
    platform::HeadlessWindowThread wt;
    serial::TComPort port(wt);
    port.SetComNumber(1);
    port.SetBaud(115200);
    port.SetInSize(8192);
    port.SetOutSize(8192);
    port.SetHWFlowOptions({serial::hwfUseRTS, serial::hwfRequireCTS});
    port.SetOpen(true);
    serial::TProtocol protocol(wt, &port);
    protocol.SetProtocolType(serial::ptAscii);
    protocol.SetFileName(path);
    bool finished = false;
    int code = 0;
    protocol.OnProtocolFinish = [&](serial::TCustomProtocol&, int c) {
        finished = true;
        code = c;
    };
    std::thread reader([&] { far.Run(pty.master, size, rate); });
    const auto start = Clock::now();
    started = start;
    protocol.BeginSend();
    while (!finished)
        wt.wait(1s);
    const auto end = Clock::now();
    reader.join();
    port.SetOpen(false);
    if (code != 0 || far.got != size) {
        std::fprintf(stderr, "run failed: code %d, %zu of %zu bytes\n", code, far.got, size);
        std::exit(1);
    }
    return Seconds(end - start);
}

double CatOnce(const std::string& path, std::size_t size) {
    Pty pty;
    // Keep the slave open and raw, so cat's bytes pass unchanged.
    const int slave = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    FarEnd far;
    std::thread reader([&] { far.Run(pty.master, size, 0); });
    const auto start = Clock::now();
    const std::string command = "cat '" + path + "' > '" + pty.slave + "'";
    if (std::system(command.c_str()) != 0) std::exit(1);
    reader.join();
    const auto end = Clock::now();
    ::close(slave);
    return Seconds(end - start);
}

} // namespace

int main(int argc, char** argv) {
    const bool skip_throttled = argc > 1 && std::strcmp(argv[1], "--skip-throttled") == 0;
    const std::string dir = std::filesystem::temp_directory_path() / "tollander-bench-protocol";
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/F2ZE0529.HEX";
    const std::string image = tools::MakeMainHex();
    std::ofstream(path, std::ios::binary) << image;
    const std::size_t size = image.size();

    if (!skip_throttled) {
        FarEnd far;
        Clock::time_point start;
        const double finish = SendOnce(path, size, kLineRate, far, start);
        const double total = Seconds(far.last - start);
        const double ideal = size / kLineRate;
        std::printf("line-paced far end (11520 B/s): %zu bytes, BeginSend to the last byte "
                    "received %.2f s, ideal %.2f s, %+.2f%%; finish event after %.2f s\n",
                    size, total, ideal, (total / ideal - 1.0) * 100.0, finish);
    }
    for (int i = 0; i < 3; ++i) {
        FarEnd far;
        Clock::time_point start;
        SendOnce(path, size, 0, far, start);
        const double sent = Seconds(far.last - start);
        const double cat = CatOnce(path, size);
        std::printf("unthrottled: protocol %.3f s (%.0f KB/s), cat FILE > PTY %.3f s (%.0f KB/s)\n",
                    sent, size / sent / 1000.0, cat, size / cat / 1000.0);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
