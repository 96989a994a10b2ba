// DOS dates and times, as archives and the protocol's files carry them.
#include "platform/fs/dos_time.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

constexpr std::uint32_t kFeb28 = 0x225C6120; // 1997-02-28 12:09:00

TEST(DosTime, PacksLocalTimeAndRefusesNonsense) {
    std::tm t{};
    t.tm_year = 97;
    t.tm_mon = 1;
    t.tm_mday = 28;
    t.tm_hour = 12;
    t.tm_min = 9;
    t.tm_sec = 1; // odd seconds round down
    t.tm_isdst = -1;
    const std::time_t when = std::mktime(&t);
    EXPECT_EQ(tollander::platform::DosTimeFromTimeT(when), kFeb28);
    std::time_t back = 0;
    ASSERT_TRUE(tollander::platform::TimeTFromDosTime(kFeb28, back));
    EXPECT_EQ(back, when - 1);

    EXPECT_EQ(tollander::platform::DosTimeFromTimeT(0), 0x00210000u); // before 1980
    for (std::uint32_t bad : {0u, 0x00200000u /* day 0 */, 0x001F0000u /* month 0 */,
                              0x225CC000u /* hour 24 */, 0x245D0000u /* 1998-02-29 */}) {
        EXPECT_FALSE(tollander::platform::TimeTFromDosTime(bad, back)) << std::hex << bad;
    }
}

} // namespace
