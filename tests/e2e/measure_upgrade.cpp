// Not a pass/fail test: measures a whole upgrade against a modem that drains
// at a real line's rate and prints the figures for docs/PERFORMANCE.md.
//   build/bin/e2e_measure_upgrade
#include <sys/resource.h>

#include <cstdio>

#include "tests/e2e/fixture.h"

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

TEST_F(E2eTest, WholeUpgradeAtLineRate) {
    auto& modem = Modem(1, {"--rate", "11520"});
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
    std::printf("images               %zu + %zu bytes\n", boot.size(), main.size());
    std::printf("line time            %.2f s\n", line);
    std::printf("fixed pauses         %.2f s\n", kFixedPauses);
    std::printf("expected             %.2f s\n", expected);
    std::printf("wall time            %.2f s (%+.1f %%)\n", wall, (wall / expected - 1) * 100);
    std::printf("CPU time (program)   %.3f s (%.2f %% of wall)\n", cpu, cpu / wall * 100);
}

} // namespace
} // namespace tollander::e2e
