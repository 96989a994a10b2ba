// The line's trace: commands and answers as they went, made readable, with
// the milliseconds since the start; an upload only as its blocks' places.
#include "app/line_trace.h"
#include "tests/unit/app_fakes.h"

#include <gtest/gtest.h>

namespace tollander::app {
namespace {

struct AnsweringPort : testing::FakePort {
    int found = 0;
    std::string answer;
    int AwaitAnyText(const std::string&, std::int32_t, bool, bool, char) override {
        return found;
    }
    std::string LastAnswer() const override { return answer; }
};

TEST(LineTrace, CommandsAnswersAndBlocksWithTheirTimes) {
    std::int64_t now = 5000;
    std::vector<std::string> lines;
    LineTrace trace([&](const std::string& l) { lines.push_back(l); }, [&] { return now; });
    auto inner = std::make_unique<AnsweringPort>();
    AnsweringPort& fake = *inner;
    fake.com = 2;
    auto port = MakeTracingPort(std::move(inner), trace);

    now += 12;
    port->SendText("ATI3\r");
    fake.found = 1;
    fake.answer = "ATI3\r\r\nxx1663\r\n\x01";
    now += 250;
    EXPECT_EQ(port->AwaitAnyText("xx1663^Boot>", 36, true, true, '^'), 1);
    fake.found = 0;
    fake.answer.clear();
    now += 1980;
    EXPECT_EQ(port->AwaitAnyText("OK^Boot>", 36, true, true, '^'), 0);
    now = 5000 + 123456;
    trace.Block(2, 8191, 16382, 20000);

    EXPECT_EQ(fake.sent, std::vector<std::string>{"ATI3\r"});
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "      12 ms  sent     COM2 ATI3\\r",
                         "     262 ms  answered \"ATI3\\r\\r\\nxx1663\\r\\n\\x01\" (alternative 1 of "
                         "\"xx1663^Boot>\")",
                         "    2242 ms  answered nothing within 1980 ms, none of \"OK^Boot>\"",
                         "  123456 ms  sent     block of image 2: 8191 bytes of HEX text, 16382 "
                         "of 20000 bytes",
                     }));
}

} // namespace
} // namespace tollander::app
