// Intact flashers, with or without digests, flash as they always did.
#include "tests/e2e/integrity_flashers.h"

namespace tollander::e2e {
namespace {

using Lines = std::vector<std::string>;

TEST_F(E2eTest, IntactFlashersFlashAsBeforeWithOrWithoutDigests) {
    const std::string flasher = PackFlasher();
    const Lines image1 = {"Flash data integrity check passed..  (1)",
                          "Entering FLASH mode on COM1.",
                          "Modem needs flash update #1..  (1)",
                          "Programming FLASHROM on COM1.",
                          "Flash file upload sent successfully.",
                          "Checking modem integrity...",
                          "Modem responded correctly -- starting modem code."};
    Lines expected = image1;
    for (std::string line : image1) {
        if (const auto at = line.find("(1)"); at != std::string::npos) line[at + 1] = '2';
        expected.push_back(line);
    }
    expected.push_back("Resetting modem...");
    expected.push_back("Complete.");

    struct Case {
        const char* what;
        Damage damage;
        Lines inspect;
    };
    const Case cases[] = {
        {"digests",
         Damage::None,
         {"Integrity    = digest block, format 1", "Boot digest  = matches",
          "Main digest  = matches"}},
        {"no digests", Damage::NoBlock, {"Integrity    = no digest block"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = Damaged(flasher, c.damage);
        auto& modem = Modem(1);
        StartApp(file);
        Scan();
        const std::size_t before = Log().size();
        Flash();

        EXPECT_EQ(LogFrom(before), expected);
        ASSERT_EQ(modem.SavedImages(), 2);
        EXPECT_TRUE(modem.SavedImage(1) == FirmwareText("FLS0228.HEX"));
        EXPECT_TRUE(modem.SavedImage(2) == FirmwareText("F2ZE0529.HEX"));
        EXPECT_EQ(TempFiles(), Lines{});

        const std::string report = Inspect(file);
        for (const std::string& line : c.inspect)
            EXPECT_TRUE(Has(report, line)) << report;
        EXPECT_FALSE(Has(report, "DOES NOT MATCH")) << report;
    }
}

} // namespace
} // namespace tollander::e2e
