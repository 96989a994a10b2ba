// The timing guard: the fixed pauses and waits of the probe and the flash
// dialogue, read from the moments at which the virtual modems saw each
// command. One scan and upgrade runs through every pause; each gap between
// two moments must last at least what its pauses, time-outs and timer ticks
// add up to, and not much longer. A real modem does not forgive a pause cut
// short, so a pause shortened by a tenth fails here.
#include "tests/e2e/fixture.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace tollander::e2e {
namespace {

constexpr int kTick = 55;   // ms, the serial layer's time-out unit
constexpr int kTimer = 200; // ms, Timer1: from one step's end to the next step
// The millisecond counter truncates: each pause may end up to a millisecond
// early in real time; a tenth of the shortest pause (100 ms) is far above it.
constexpr double kCounterSlack = 5;

// A moment: the n-th (1-based) event `event` with text `text` in the
// transcript of the modem on COM`com`; COM0 is the test itself ("start",
// "click" on FLASH!, "idle" when the upgrade has ended).
struct Moment {
    int com;
    const char* event;
    const char* text = "";
    int nth = 1;
};

struct Gap {
    const char* what;
    Moment from;
    Moment to;
    int least_ms;
    int most_ms;
};

struct Event {
    int com;
    std::string event;
    std::string text;
    double ms;
};

double NowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::optional<std::string> Field(const std::string& line, const std::string& key) {
    const std::string quoted = "\"" + key + "\":";
    auto at = line.find(quoted);
    if (at == std::string::npos) return std::nullopt;
    at += quoted.size();
    if (line[at] == '"') {
        const auto end = line.find('"', at + 1);
        return line.substr(at + 1, end - at - 1);
    }
    return line.substr(at, line.find_first_of(",}", at) - at);
}

double Number(const std::string& line, const std::string& key) {
    const auto value = Field(line, key);
    return value ? std::stod(*value) : std::nan("");
}

// The modem's events on the test's clock; an upload's end adds its first and
// its last byte as events of their own.
void ReadTranscript(const std::string& path, int com, std::vector<Event>& into) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const std::string event = Field(line, "event").value_or("");
        const double ms = Number(line, "ms");
        into.push_back({com, event, Field(line, "text").value_or(""), ms});
        if (event != "upload_end") continue;
        const double time = Number(line, "time");
        for (const char* edge : {"first_byte", "last_byte"})
            into.push_back({com, edge, "", ms + (Number(line, edge) - time) * 1000});
    }
}

std::optional<double> Find(const std::vector<Event>& events, const Moment& m) {
    int seen = 0;
    for (const auto& e : events)
        if (e.com == m.com && e.event == m.event && e.text == m.text && ++seen == m.nth)
            return e.ms;
    return std::nullopt;
}

std::string Describe(const Moment& m) {
    return "COM" + std::to_string(m.com) + " " + m.event + (*m.text ? " " : "") + m.text + " #" +
           std::to_string(m.nth);
}

const char kNvram[] = "AT&F1S0=0&W&F2S0=0&W1YZ";

// COM1: a family modem in command mode. COM2: one at its boot prompt whose
// main code starts, whose country is the third one asked for and whose boot
// loader gives no verdict; its box is the one ticked, so it is upgraded.
// COM3: nothing answers. COM4: no device.
// clang-format off
const Gap kGaps[] = {
    // The scan.
    {"start-up pause, then the probe's pause before it opens COM1",
     {0, "start"}, {1, "line_opened"}, kTimer + 500 + kTimer + 300, 2300},
    {"probe: pause before ATI3",
     {1, "command", "AT"}, {1, "command", "ATI3"}, 100, 600},
    {"probe: a tick and the pause before the next port opens",
     {1, "command", "ATI3"}, {2, "line_opened"}, kTimer + 300, 1000},
    {"probe: pause before ATGM at the boot prompt",
     {2, "command", "AT"}, {2, "command", "ATGM"}, 100, 600},
    {"probe: pause after \"Starting Modem Code\", then the one before ATI3",
     {2, "command", "ATGM"}, {2, "command", "ATI3"}, 800 + 100, 1400},
    {"probe: the AT wait runs out, then the pause after it",
     {3, "line_opened"}, {3, "line_closed"}, 36 * kTick + 100, 2700},
    // The country check.
    {"country: a tick and the pause before the first ATY14",
     {0, "click"}, {2, "command", "ATY14"}, kTimer + 200, 900},
    {"country: the wait for \"004\" runs out",
     {2, "command", "ATY14", 1}, {2, "command", "ATY14", 2}, 12 * kTick, 1200},
    {"country: the wait for \"007\" runs out",
     {2, "command", "ATY14", 2}, {2, "command", "ATY14", 3}, 12 * kTick, 1200},
    // The boot code.
    {"boot code: three ticks, the pauses before ATGLOAD7",
     {2, "command", "ATY14", 3}, {2, "command", "ATGLOAD7"}, 3 * kTimer + 500 + 500, 2600},
    {"boot code: pause after ATGLOAD7, then before ATI0",
     {2, "command", "ATGLOAD7"}, {2, "command", "ATI0"}, 200 + 500, 1200},
    {"boot code: pause before AT{A}",
     {2, "command", "ATI0"}, {2, "command", "AT{A}"}, 500, 1000},
    {"boot code: a tick and the pause before the upload",
     {2, "command", "AT{A}"}, {2, "first_byte"}, kTimer + 300, 1000},
    {"boot code: a tick, the verdict wait runs out, the result pause, the pause before ATGM",
     {2, "last_byte"}, {2, "command", "ATGM", 2}, kTimer + 36 * kTick + 1000 + 1000, 5000},
    // The main code.
    {"main code: pause after \"Starting\", the step's pause, four ticks, pauses before ATGLOAD7",
     {2, "command", "ATGM", 2}, {2, "command", "ATGLOAD7", 2}, 800 + 1000 + 4*kTimer + 1000, 5000},
    {"main code: pause after ATGLOAD7, then before ATI0",
     {2, "command", "ATGLOAD7", 2}, {2, "command", "ATI0", 2}, 200 + 500, 1200},
    {"main code: pause before AT{A}",
     {2, "command", "ATI0", 2}, {2, "command", "AT{A}", 2}, 500, 1000},
    {"main code: a tick and the pause before the upload",
     {2, "command", "AT{A}", 2}, {2, "first_byte", "", 2}, kTimer + 300, 1000},
    {"main code: a tick, the verdict wait runs out, the result pause, the pause before ATGM",
     {2, "last_byte", "", 2}, {2, "command", "ATGM", 3}, kTimer + 36 * kTick + 5000 + 1000, 9200},
    // The NVRAM line and the stop.
    {"NVRAM: pause after \"Starting\", a tick, the pauses before the line",
     {2, "command", "ATGM", 3}, {2, "command", kNvram}, 800 + kTimer + 200 + 500, 2200},
    {"NVRAM: pause after the line, a tick to the stop",
     {2, "command", kNvram}, {0, "idle"}, 500 + kTimer, 1200},
};
// clang-format on

TEST_F(E2eTest, PausesAndWaitsOfOneScanAndUpgradeLastWhatTheyShould) {
    Modem(1);
    auto& com2 = Modem(2, {"--boot-prompt", "--country", "012", "--verdict", "none"});
    Modem(3, {"--mute"});
    const std::string flasher = PackFlasher();

    std::vector<Event> events;
    events.push_back({0, "start", "", NowMs()});
    StartApp(flasher);
    Scan();
    ASSERT_TRUE(Form().Checked(2)) << "COM2's modem is the one to upgrade";
    events.push_back({0, "click", "", NowMs()});
    Flash();
    events.push_back({0, "idle", "", NowMs()});
    ASSERT_EQ(Log().back(), "Complete.");
    ASSERT_EQ(com2.SavedImages(), 2) << "both images were sent";

    // The fixture keeps the n-th modem's transcript as modem<n>.log; the
    // modems were started in port order.
    for (int com = 1; com <= 3; ++com)
        ReadTranscript(dir_ + "/modem" + std::to_string(com) + ".log", com, events);

    for (const auto& gap : kGaps) {
        const auto from = Find(events, gap.from);
        const auto to = Find(events, gap.to);
        if (!from || !to) {
            ADD_FAILURE() << gap.what << ": no moment " << Describe(from ? gap.to : gap.from);
            continue;
        }
        const double took = *to - *from;
        EXPECT_GE(took, gap.least_ms - kCounterSlack)
            << gap.what << ": " << Describe(gap.from) << " to " << Describe(gap.to);
        EXPECT_LE(took, gap.most_ms)
            << gap.what << ": " << Describe(gap.from) << " to " << Describe(gap.to);
        std::printf("%6.0f ms (at least %5d, at most %5d)  %s\n", took, gap.least_ms, gap.most_ms,
                    gap.what);
    }
}

} // namespace
} // namespace tollander::e2e
