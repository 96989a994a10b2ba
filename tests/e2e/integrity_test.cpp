// Damaged flashers against the virtual modem: a flipped byte in either image
// stops the run before the modem is put into its boot loader.
#include "tests/e2e/integrity_flashers.h"

namespace tollander::e2e {
namespace {

using Lines = std::vector<std::string>;

TEST_F(E2eTest, DamagedImageStopsTheRunBeforeTheBootLoader) {
    const std::string flasher = PackFlasher();
    struct Case {
        const char* what;
        Damage damage;
        const char* inspect_boot;
        const char* inspect_main;
    };
    const Case cases[] = {
        {"main image", Damage::MainByte, "Boot digest  = matches", "Main digest  = DOES NOT MATCH"},
        {"boot image", Damage::BootByte, "Boot digest  = DOES NOT MATCH", "Main digest  = matches"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = Damaged(flasher, c.damage);
        auto& modem = Modem(1);
        StartApp(file);
        Scan();
        const std::size_t before = Log().size();
        Flash();

        EXPECT_EQ(LogFrom(before),
                  (Lines{"Flash data integrity check failed.  Failure code  -2", "Complete."}));
        EXPECT_EQ(Step(), 99);
        EXPECT_FALSE(Form().ComPort1().Open());
        EXPECT_TRUE(Form().Enabled(app::ButtonId::Button4));
        const Lines commands = modem.Commands();
        EXPECT_EQ(std::count(commands.begin(), commands.end(), "ATGLOAD7"), 0);
        EXPECT_EQ(commands.back(), "ATY14");
        EXPECT_EQ(modem.SavedImages(), 0);
        EXPECT_EQ(TempFiles(), Lines{});

        const std::string report = Inspect(file);
        EXPECT_TRUE(Has(report, "Integrity    = digest block, format 1")) << report;
        EXPECT_TRUE(Has(report, c.inspect_boot)) << report;
        EXPECT_TRUE(Has(report, c.inspect_main)) << report;
    }
}

TEST_F(E2eTest, DebugStartUpSaysWhetherDigestsAreThere) {
    const std::string flasher = PackFlasher();
    const std::pair<Damage, const char*> cases[] = {
        {Damage::None, "Integrity    = digests present (format 1)"},
        {Damage::MainByte, "Integrity    = digests present (format 1)"},
        {Damage::NoBlock, "Integrity    = no digests, images not checked"},
    };
    for (const auto& [damage, line] : cases) {
        SCOPED_TRACE(line);
        StartApp(Damaged(flasher, damage), /*debug=*/true);
        Scan();
        const Lines& log = Log();
        // Once, right after the configuration dump.
        const auto countries = std::find_if(log.begin(), log.end(), [](const std::string& l) {
            return l.starts_with("Countries    = ");
        });
        ASSERT_NE(countries, log.end());
        ASSERT_NE(countries + 1, log.end());
        EXPECT_EQ(*(countries + 1), line);
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [](const std::string& l) { return l.starts_with("Integrity"); }),
                  1);
    }
}

} // namespace
} // namespace tollander::e2e
