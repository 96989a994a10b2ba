// Damaged flashers against the virtual modem: whatever the damage, the run
// stops with the integrity failure before the modem is put into its boot
// loader, and not one byte of an image goes out.
#include "tests/e2e/integrity_flashers.h"

namespace tollander::e2e {
namespace {

using Lines = std::vector<std::string>;
using Change = std::function<void(std::string&, const Pieces&)>;

// As a program built without vendor keys, on unsigned flashers: their
// digests are what is checked (signatures: signature_test.cpp).
TEST_F(E2eTest, DamagedFlashersSendNothing) {
    UseVendorKeys({});
    PackConfig unsigned_config;
    unsigned_config.sign_key.clear();
    const std::string flasher = PackFlasher(unsigned_config);
    auto length = [](bool boot, int delta) -> Change {
        return [=](std::string& f, const Pieces& p) {
            PutI32(f, p.record_start + (boot ? 0 : 4),
                   (boot ? p.record.BootLength : p.record.MainLength) + delta);
        };
    };
    auto negative = [](bool boot) -> Change {
        return [=](std::string& f, const Pieces& p) {
            PutI32(f, p.record_start + (boot ? 0 : 4), -1);
        };
    };
    auto flip = [](auto where) -> Change {
        return [=](std::string& f, const Pieces& p) { f[where(p)] ^= 0x01; };
    };
    const auto mid_boot = [](const Pieces& p) {
        return static_cast<std::size_t>(p.at.boot_start + p.record.BootLength / 2);
    };
    const auto mid_main = [](const Pieces& p) {
        return static_cast<std::size_t>(p.at.main_start + p.record.MainLength / 2);
    };
    const auto main_header = [](const Pieces& p) {
        return static_cast<std::size_t>(p.at.main_start + 20); // its body size
    };
    const auto magic = [](const Pieces& p) { return p.block_start; };
    auto both = [](Change a, Change b) -> Change {
        return [=](std::string& f, const Pieces& p) {
            a(f, p);
            b(f, p);
        };
    };
    auto unblocked = [](Change c) -> Change {
        return [=](std::string& f, const Pieces&) {
            StripBlock(f);
            c(f, Locate(f));
        };
    };
    struct Case {
        const char* what;
        Change change;
        int code;
    };
    const Case cases[] = {
        {"boot length + 1", length(true, 1), payload::kIntegrityRecordDamaged},
        {"boot length - 1", length(true, -1), payload::kIntegrityRecordDamaged},
        {"main length + 1", length(false, 1), payload::kIntegrityRecordDamaged},
        {"main length - 1", length(false, -1), payload::kIntegrityRecordDamaged},
        {"negative boot length", negative(true), payload::kIntegrityRecordDamaged},
        {"negative main length", negative(false), payload::kIntegrityRecordDamaged},
        {"swapped lengths",
         [](std::string& f, const Pieces& p) {
             PutI32(f, p.record_start, p.record.MainLength);
             PutI32(f, p.record_start + 4, p.record.BootLength);
         },
         payload::kIntegrityRecordDamaged},
        {"boot image byte", flip(mid_boot), payload::kIntegrityMismatch},
        {"main image byte", flip(mid_main), payload::kIntegrityMismatch},
        {"main archive header", flip(main_header), payload::kIntegrityMismatch},
        {"block magic", flip(magic), payload::kIntegrityBlockDamaged},
        {"block magic and a main image byte", both(flip(magic), flip(mid_main)),
         payload::kIntegrityBlockDamaged},
        {"a byte deleted from the main image",
         [&](std::string& f, const Pieces& p) { f.erase(mid_main(p), 1); },
         payload::kIntegrityMismatch},
        {"a country added",
         [](std::string& f, const Pieces& p) { f[p.record_start + 143 + 20] = 1; },
         payload::kIntegrityRecordDamaged},
        {"main image cut short, the record kept",
         [](std::string& f, const Pieces& p) {
             f.erase(static_cast<std::size_t>(p.at.main_start) + 1000, 100);
         },
         payload::kIntegrityMismatch},
        {"no block: main length + 1", unblocked(length(false, 1)), payload::kIntegrityNotAnArchive},
        {"no block: boot length - 1", unblocked(length(true, -1)), payload::kIntegrityNotAnArchive},
        {"no block: main archive signature", unblocked(flip([](const Pieces& p) {
             return static_cast<std::size_t>(p.at.main_start + 36);
         })),
         payload::kIntegrityNotAnArchive},
        {"no block: main image byte", unblocked(flip(mid_main)), payload::kIntegrityNotIntelHex},
        {"no block: negative main length", unblocked(negative(false)),
         payload::kIntegrityRecordDamaged},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = Changed(flasher, std::to_string(++n), c.change);
        auto& modem = Modem(1);
        StartApp(file);
        Scan();
        const std::size_t before = Log().size();
        Flash();

        EXPECT_EQ(LogFrom(before), (Lines{"Flash data integrity check failed.  Failure code  " +
                                              std::to_string(c.code),
                                          "Complete."}));
        EXPECT_EQ(Step(), app::stepStop);
        EXPECT_FALSE(Form().ComPort1().Open());
        const Lines commands = modem.Commands();
        for (const char* never : {"ATGLOAD7", "AT{A}"})
            EXPECT_EQ(std::count(commands.begin(), commands.end(), never), 0) << never;
        EXPECT_EQ(commands.back(), "ATY14");
        EXPECT_EQ(modem.SavedImages(), 0);
        EXPECT_EQ(TempFiles(), Lines{});
    }
}

// A flasher whose end was cut off, or that gained bytes there, has no record
// but what happens to lie at its end: it stops at start-up with the failure
// line, before any port is opened. The program under the payload is a real
// one, since its headers tell where the payload begins.
TEST_F(E2eTest, AFlasherCutShortOrLengthenedStopsAtStartUp) {
    const std::string flasher = PackFlasher({}, BinDir() + "/tollander-vmodem");
    auto cut = [](std::size_t n) -> Change {
        return [n](std::string& f, const Pieces&) { f.resize(f.size() - n); };
    };
    const std::pair<const char*, Change> cases[] = {
        {"one byte cut", cut(1)},
        {"a record's length cut", cut(payload::kConfigRecordSize)},
        {"cut into the sound", [](std::string& f, const Pieces& p) {
             f.resize(static_cast<std::size_t>(p.at.sound_start) + 1000);
         }},
        {"cut into the program", [](std::string& f, const Pieces& p) { f.resize(p.block_start - 1); }},
        {"a byte added", [](std::string& f, const Pieces&) { f.push_back('\0'); }},
    };
    int n = 0;
    for (const auto& [what, change] : cases) {
        SCOPED_TRACE(what);
        const std::string file = Changed(flasher, "end" + std::to_string(++n), change);
        auto& modem = Modem(1);
        StartApp(file, /*debug=*/n == 1);
        Scan();
        EXPECT_EQ(Step(), app::stepStop);
        Lines log = Log();
        if (n == 1) {
            // In debug mode the zero record's dump, and the verdict on the end.
            ASSERT_GE(log.size(), 11u);
            EXPECT_EQ(log[10], "Integrity    = the file was cut short or lengthened: no record");
            log.erase(log.begin() + 1, log.begin() + 11);
        }
        ASSERT_EQ(log.size(), 3u);
        EXPECT_EQ(log[1], "Flash data integrity check failed.  Failure code  " +
                              std::to_string(payload::kIntegrityRecordDamaged));
        EXPECT_EQ(log[2], "Complete.");
        EXPECT_EQ(modem.Commands(), Lines{});
        EXPECT_EQ(modem.SavedImages(), 0);
        EXPECT_EQ(TempFiles(), Lines{});
    }

    // The same flasher intact finds its modem and waits for FLASH! (the
    // upload itself does not depend on the program: see the upgrade tests).
    Modem(1);
    StartApp(flasher);
    Scan();
    EXPECT_EQ(Step(), app::stepWaitForUser);
    EXPECT_TRUE(Form().Enabled(app::ButtonId::Button2));
}

TEST_F(E2eTest, DebugStartUpSaysWhetherDigestsAreThere) {
    UseVendorKeys({});
    PackConfig unsigned_config;
    unsigned_config.sign_key.clear();
    const std::string flasher = PackFlasher(unsigned_config);
    const std::pair<Damage, const char*> cases[] = {
        {Damage::None, "Integrity    = digests present (format 2)"},
        {Damage::MainByte, "Integrity    = digests present (format 2)"},
        {Damage::NoBlock, "Integrity    = no digests, images checked as Intel HEX only"},
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
