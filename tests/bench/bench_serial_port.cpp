// Figures of the serial layer on a pseudo-terminal: how fast a port's two
// threads stop, what an open idle port costs, what a timed-out AwaitAnyText
// costs, and what the notice path costs (modem lines through avail notices
// into a handler that reads each batch, as the debug echo does). Prints the
// figures; decides nothing.
#include "platform/thread/headless_window_thread.h"
#include "platform/serial/port_map.h"
#include "serial/com_port.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tollander;
using namespace std::chrono;

namespace {

double CpuMs() {
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 +
           (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
}

} // namespace

int main() {
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return 1;
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    platform::SetComDevicePath(1, ::ttyname(slave));
    platform::HeadlessWindowThread window;

    // Stop latency: ClosePortRecord of an open, idle port (purge, release,
    // both threads stopped and joined).
    std::vector<double> stops;
    for (int i = 0; i < 20; ++i) {
        serial::PortSettings settings;
        settings.out_size = settings.in_size = 8192;
        settings.line = {115200, 0, 8, 1};
        const int index = serial::OpenPortRecord("COM1", settings);
        if (index <= 0) return 2;
        std::this_thread::sleep_for(milliseconds(30 + i * 7)); // land anywhere in the 50 ms pass
        const auto start = steady_clock::now();
        serial::ClosePortRecord(static_cast<serial::RecordIndex>(index));
        stops.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
    }
    std::sort(stops.begin(), stops.end());
    std::printf("stop latency of both threads: median %.3f ms, max %.3f ms (20 closes)\n",
                stops[stops.size() / 2], stops.back());

    serial::TComPort port(window);
    port.SetComNumber(1);
    port.SetBaud(115200);
    port.SetHWFlowOptions({serial::hwfUseRTS, serial::hwfRequireCTS});
    port.SetOpen(true);

    // An open port while nothing happens, for ten seconds.
    double cpu = CpuMs();
    auto start = steady_clock::now();
    while (steady_clock::now() - start < seconds(10))
        window.wait(milliseconds(1000));
    std::printf("open idle port, 10 s: %.1f ms CPU (%.3f %% of one core)\n", CpuMs() - cpu,
                (CpuMs() - cpu) / 100.0);

    // AwaitAnyText that times out after 36 ticks.
    cpu = CpuMs();
    start = steady_clock::now();
    const int result = port.AwaitAnyText("OK^Boot>", 36, true, true, '^');
    const double wall = duration<double, std::milli>(steady_clock::now() - start).count();
    std::printf("AwaitAnyText 36 ticks, timed out (result %d) after %.0f ms: %.1f ms CPU\n", result,
                wall, CpuMs() - cpu);

    // The notice path: a megabyte of 64-byte modem lines, read in the avail
    // handler notice by notice.
    constexpr std::size_t kTotal = std::size_t{1} << 20;
    const std::string line = std::string(62, 'x') + "\r\n";
    std::size_t received = 0, notices = 0;
    port.OnTriggerAvail = [&](serial::TCustomComPort& p, std::uint16_t count) {
        ++notices;
        std::string batch;
        p.ReadChars(count, batch);
        received += batch.size();
    };
    cpu = CpuMs();
    start = steady_clock::now();
    std::thread writer([&] {
        for (std::size_t sent = 0; sent < kTotal; sent += line.size())
            for (std::size_t at = 0; at < line.size();) {
                const ssize_t n = ::write(master, line.data() + at, line.size() - at);
                if (n <= 0) return;
                at += static_cast<std::size_t>(n);
            }
    });
    while (received < kTotal && steady_clock::now() - start < seconds(120))
        window.wait(milliseconds(100));
    const double path_wall = duration<double, std::milli>(steady_clock::now() - start).count();
    const double path_cpu = CpuMs() - cpu;
    writer.join();
    port.OnTriggerAvail = nullptr;
    std::printf("notice path, %zu of %zu bytes in %zu notices: %.0f ms, %.1f ms CPU "
                "(%.2f us CPU per notice)\n",
                received, kTotal, notices, path_wall, path_cpu,
                notices ? path_cpu * 1e3 / static_cast<double>(notices) : 0.0);

    port.SetOpen(false);
    ::close(master);
    ::close(slave);
    return 0;
}
