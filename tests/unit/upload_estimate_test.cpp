// The upload's rate and time left come from the bytes the line has sent,
// not from the bytes the driver's queues took.
#include "app/upload_estimate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace tollander::app {
namespace {

constexpr std::int64_t kBlock = 8191;

// A line that drains at `line_rate` bytes a second behind a sender that
// hands a block over whenever the driver has room for one: `buffer` bytes
// of room on the way (a pseudo-terminal's kernel buffer, a UART driver's
// queue). `reports_queue`: the driver says how much it still holds. Gives
// the estimate's time left and the true time left when the line has sent a
// tenth of `total`.
struct Reading {
    double estimated;
    double actual;
};

Reading AtATenth(std::int64_t total, double line_rate, std::int64_t buffer, bool reports_queue) {
    UploadEstimate estimate;
    std::int64_t handed = 0;
    bool started = false;
    // One millisecond at a time: the sender hands a block as soon as it fits.
    for (std::int64_t ms = 0;; ++ms) {
        const auto on_line = std::min<std::int64_t>(
            handed, static_cast<std::int64_t>(line_rate * static_cast<double>(ms) / 1000.0));
        if (handed < total && handed - on_line + kBlock <= buffer) {
            handed = std::min(total, handed + kBlock);
            if (!started) estimate.Start(total, ms);
            started = true;
            estimate.Update(handed, reports_queue ? handed - on_line : 0, ms);
        }
        if (on_line >= total / 10 && estimate.Rate() > 0)
            return {estimate.SecondsLeft(), static_cast<double>(total - on_line) / line_rate};
    }
}

TEST(UploadEstimate, TheEarlyTimeLeftIsWithinAFifthOfTheTruth) {
    const struct {
        const char* name;
        double line_rate;
        std::int64_t buffer;
        bool reports_queue;
    } cases[] = {
        {"pseudo-terminal: a large buffer, no queue reported", kLineBytesPerSecond, 65536, false},
        {"UART: the driver's queue read", kLineBytesPerSecond, 4 * kBlock, true},
        {"UART slowed by flow control to half the line", kLineBytesPerSecond / 2, 4 * kBlock,
         true},
    };
    constexpr std::int64_t kMainImage = 491460;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Reading r = AtATenth(kMainImage, c.line_rate, c.buffer, c.reports_queue);
        EXPECT_GT(r.estimated, 0.0);
        EXPECT_LE(std::abs(r.estimated - r.actual), 0.2 * r.actual)
            << "estimated " << r.estimated << " s, truly " << r.actual << " s";
    }
}

TEST(UploadEstimate, BytesOnTheLineNeverExceedWhatWasHandedOrTheTotal) {
    UploadEstimate e;
    e.Start(20000, 1000);
    e.Update(8191, 0, 1000);
    EXPECT_EQ(e.Sent(), 0); // nothing on the line yet
    e.Update(16382, 0, 3000); // 2 s at 11520 would be 23040
    EXPECT_EQ(e.Sent(), 16382);
    e.Update(20000, 0, 9000);
    EXPECT_EQ(e.Sent(), 20000);
    EXPECT_DOUBLE_EQ(e.SecondsLeft(), 0.0);

    // Once the driver has shown a queue, an empty one means all went out.
    e.Start(20000, 0);
    e.Update(8191, 8000, 10);
    EXPECT_EQ(e.Sent(), 191);
    EXPECT_EQ(e.Rate(), 0.0) << "too soon to tell a rate";
    EXPECT_LT(e.SecondsLeft(), 0.0);
    e.Update(8191, 0, 800);
    EXPECT_EQ(e.Sent(), 8191);
    EXPECT_GT(e.Rate(), 0.0);
}

} // namespace
} // namespace tollander::app
