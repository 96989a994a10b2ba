// Not a pass/fail test: measures a whole upgrade against a modem that drains
// at a real line's rate and prints the figures for docs/PERFORMANCE.md.
//   build/bin/e2e_measure_upgrade
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "tests/e2e/fixture.h"
#include "tests/e2e/serial_server.h"

namespace tollander::e2e {
namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// From "&FLASH!" to "Complete.", what the program waits on purpose: 14 timer
// ticks of 200 ms, the country check's 200 ms, two boot loader entries with
// their update checks and handshakes (2.2 s each), two 300 ms pauses before
// the uploads, the boot verdict's 3.8 s, the main verdict's 6.8 s and the
// NVRAM line's 1.2 s.
constexpr double kFixedPauses = 19.8;
constexpr double kLineRate = 11520.0; // bytes per second at 115200 bit/s

// Seconds between the first and the last byte of each upload the modem's
// transcript tells, summed.
double UploadSeconds(const VModem& modem) {
    double total = 0;
    for (const auto& line : modem.Events("upload_end")) {
        const auto field = [&](const std::string& name) {
            const auto at = line.find("\"" + name + "\":");
            return at == std::string::npos ? 0.0 : std::stod(line.substr(at + name.size() + 3));
        };
        total += field("last_byte") - field("first_byte");
    }
    return total;
}

class Measure : public E2eTest {
protected:
    // One upgrade of `modem` on COM1 (already mapped), its table printed.
    void Upgrade(const VModem& modem) {
        StartApp(PackFlasher());
        Scan();

        const double cpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        Flash(300s);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = CpuSeconds() - cpu0;

        ASSERT_EQ(Log().back(), "Complete.");
        ASSERT_FALSE(Form().Outcome().failure_logged);
        const std::string boot = ReadFile(FirmwareDir() + "/FLS0228.HEX");
        const std::string main = ReadFile(FirmwareDir() + "/F2ZE0529.HEX");
        ASSERT_TRUE(modem.SavedImage(1) == boot && modem.SavedImage(2) == main);

        const double line = static_cast<double>(boot.size() + main.size()) / kLineRate;
        const double expected = kFixedPauses + line;
        const double upload = UploadSeconds(modem);
        std::printf("images               %zu + %zu bytes\n", boot.size(), main.size());
        std::printf("line time            %.2f s\n", line);
        std::printf("upload time (modem)  %.2f s (%+.2f %%)\n", upload, (upload / line - 1) * 100);
        std::printf("fixed pauses         %.2f s\n", kFixedPauses);
        std::printf("expected             %.2f s\n", expected);
        std::printf("wall time            %.2f s (%+.1f %%)\n", wall, (wall / expected - 1) * 100);
        std::printf("CPU time (program)   %.3f s (%.2f %% of wall)\n", cpu, cpu / wall * 100);
    }
};

TEST_F(Measure, WholeUpgradeAtLineRate) {
    Upgrade(Modem(1, {"--rate", "11520"}));
}

// The same through ser2net on the loopback address, over RFC 2217.
TEST_F(Measure, WholeUpgradeThroughASerialServer) {
    const auto& modem = ServedModem({"--rate", "11520"});
    Ser2net server(dir_, modem.Device());
    MapPort(1, server.Rfc2217());
    Upgrade(modem);
}

} // namespace
} // namespace tollander::e2e
