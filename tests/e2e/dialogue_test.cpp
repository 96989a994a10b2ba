// The flash dialogue's answers and refusals, from "&FLASH!" to the stop.
#include <algorithm>

#include "tests/e2e/fixture.h"

namespace tollander::e2e {
namespace {

int Count(const std::vector<std::string>& commands, const std::string& command) {
    return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}

// ---- Country check --------------------------------------------------------------

struct CountryCase {
    const char* name;
    std::string countries; // what the flasher is built for
    std::string modem;     // what the modem answers to ATY14
    int queries;           // ATY14 commands expected
    bool refused;
    std::string why = {}; // with a refusal: the modem's country and the accepted ones
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const CountryCase& c, std::ostream* os) {
    *os << c.name;
}

class CountryCheck : public E2eTest, public ::testing::WithParamInterface<CountryCase> {};

TEST_P(CountryCheck, AsksEachAllowedIndexBelow25) {
    const auto& c = GetParam();
    // The boot loader refuses, so an accepted country ends soon after.
    auto& modem = Modem(1, {"--country", c.modem, "--gload", "error"});
    PackConfig config;
    config.countries = c.countries;
    StartApp(PackFlasher(config));
    Scan();
    const std::size_t scanned = Log().size();
    Flash();

    EXPECT_EQ(Count(modem.Commands(), "ATY14"), c.queries);
    if (c.refused) {
        EXPECT_TRUE(FrontEnd().closed);
        ASSERT_EQ(FrontEnd().messages.size(), 1u);
        EXPECT_EQ(FrontEnd().messages[0].first, "Incorrect flash utility for modem.");
        EXPECT_EQ(FrontEnd().messages[0].second, app::MessageKind::Error);
        EXPECT_EQ(Form().Outcome().wrong_country, c.why);
        EXPECT_EQ(LogFrom(scanned), std::vector<std::string>{});
        EXPECT_EQ(Count(modem.Commands(), "ATGLOAD7"), 0);
        EXPECT_EQ(TempFiles(), std::vector<std::string>{}); // the sound file went
    } else {
        EXPECT_FALSE(FrontEnd().closed);
        EXPECT_EQ(Form().Outcome().wrong_country, "");
        EXPECT_EQ(LogFrom(scanned), (std::vector<std::string>{
                                        "Flash data integrity check passed..  (1)",
                                        "Modem does not support FLASH capability.", "Complete."}));
        EXPECT_EQ(Step(), app::stepStop);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CountryCheck,
    ::testing::Values(CountryCase{"AcceptedOnSecondQuery", "4,7,12", "007", 2, false},
                      CountryCase{"RefusedAfterThreeQueries", "4,7,12", "022", 3, true,
                                  "the modem gave country 022 (Asean); this flasher accepts "
                                  "U.K. (4), Netherlands (7), Belgium (12)"},
                      CountryCase{"OnlyIndexZeroFitsAnyModem", "0", "022", 1, false},
                      CountryCase{"OnlyIndex30SendsNothing", "30", "004", 0, true,
                                  "the modem was not asked for its country, as only countries 0 "
                                  "to 24 can be asked for; this flasher accepts Undefined (30)"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Boot loader entry, update check and programming handshake ---------------------

struct HandshakeCase {
    const char* name;
    PackConfig config;
    std::vector<std::string> modem;
    std::vector<std::string> lines;    // after the scan
    std::vector<std::string> commands; // after the scan's AT and ATI3
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const HandshakeCase& c, std::ostream* os) {
    *os << c.name;
}

class Handshake : public E2eTest, public ::testing::WithParamInterface<HandshakeCase> {};

TEST_P(Handshake, StopsWhereTheModemSays) {
    const auto& c = GetParam();
    auto& modem = Modem(1, c.modem);
    StartApp(PackFlasher(c.config));
    Scan();
    const std::size_t scanned = Log().size();
    Flash();

    EXPECT_EQ(LogFrom(scanned), c.lines);
    auto commands = modem.Commands();
    ASSERT_GE(commands.size(), 2u);
    commands.erase(commands.begin(), commands.begin() + 2);
    EXPECT_EQ(commands, c.commands);
    EXPECT_EQ(Step(), app::stepStop);
    EXPECT_FALSE(Form().ComPort1().Open());
    EXPECT_EQ(modem.SavedImages(), 0);
}

PackConfig MainOnly() {
    PackConfig c;
    c.boot = false;
    return c;
}
PackConfig MainOnlyModel(std::string model) {
    PackConfig c = MainOnly();
    c.main_model = std::move(model);
    return c;
}
PackConfig IgnoreModelBootNotNeeded() {
    PackConfig c;
    c.boot_model = "zz999999";
    c.ignore_model = true;
    return c;
}

const std::string kPassed1 = "Flash data integrity check passed..  (1)";
const std::string kPassed2 = "Flash data integrity check passed..  (2)";
const std::string kEntering1 = "Entering FLASH mode on COM1.";
const std::string kNoSupport = "Modem does not support FLASH capability.";

INSTANTIATE_TEST_SUITE_P(
    Cases, Handshake,
    ::testing::Values(HandshakeCase{"ErrorToBootModeCommand",
                                    MainOnly(),
                                    {"--gload", "error"},
                                    {kPassed2, kNoSupport, "Complete."},
                                    {"ATY14", "ATGLOAD7"}},
                      HandshakeCase{"SilenceToBootModeCommand",
                                    MainOnly(),
                                    {"--gload", "silent"},
                                    {kPassed2, kNoSupport, "Complete."},
                                    {"ATY14", "ATGLOAD7"}},
                      HandshakeCase{"ModelCodeInLowerCase",
                                    MainOnlyModel("XX166301"),
                                    {"--prog", "error"},
                                    {kPassed2, kEntering1, "Modem needs flash update #1..  (2)",
                                     kNoSupport, "Complete."},
                                    {"ATY14", "ATGLOAD7", "ATI0", "AT{A}"}},
                      HandshakeCase{"EmptyModelCodeNeverNeeded",
                                    MainOnlyModel(""),
                                    {},
                                    {kPassed2, kEntering1,
                                     "Modem does not need flash update #1..  (2)", "Complete."},
                                    {"ATY14", "ATGLOAD7", "ATI0"}},
                      HandshakeCase{"OtherModelCodeMainNotNeeded",
                                    MainOnlyModel("zz999999"),
                                    {},
                                    {kPassed2, kEntering1,
                                     "Modem does not need flash update #1..  (2)", "Complete."},
                                    {"ATY14", "ATGLOAD7", "ATI0"}},
                      HandshakeCase{"ErrorToModelQuery",
                                    MainOnly(),
                                    {"--ati0", "error"},
                                    {kPassed2, kEntering1,
                                     "Modem does not need flash update #1..  (2)", "Complete."},
                                    {"ATY14", "ATGLOAD7", "ATI0"}},
                      // The boot code is asked about and skipped; the main code is taken as
                      // needed without asking.
                      HandshakeCase{"IgnoreModelAsksOnlyForBootCode",
                                    IgnoreModelBootNotNeeded(),
                                    {"--prog", "error"},
                                    {kPassed1, kEntering1,
                                     "Modem does not need flash update #1..  (1)", kPassed2,
                                     kEntering1, kNoSupport, "Complete."},
                                    {"ATY14", "ATGLOAD7", "ATI0", "ATGM", "ATGLOAD7", "AT{A}"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(E2eTest, NoAnswerToProgrammingCommandClearsOnlyThatRow) {
    Modem(1);
    auto& com3 = Modem(3, {"--prog", "silent"});
    StartApp(PackFlasher(MainOnly()));
    Scan();
    ASSERT_TRUE(Form().Checked(3));
    const std::size_t scanned = Log().size();
    Flash();

    EXPECT_EQ(LogFrom(scanned),
              (std::vector<std::string>{kPassed2, "Entering FLASH mode on COM3.",
                                        "Modem needs flash update #1..  (2)",
                                        "Modem not responding -- aborting.", "Complete."}));
    EXPECT_EQ(Form().EditText(3), "No modem found.");
    EXPECT_EQ(Form().EditText(1), "Tollander modem found.");
    EXPECT_EQ(Form().EditText(2), "No modem found.");
    EXPECT_EQ(com3.Commands().back(), "AT{A}");
}

} // namespace
} // namespace tollander::e2e
