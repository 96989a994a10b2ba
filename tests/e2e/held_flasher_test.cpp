// A flasher reads its own file once: what happens to the file's name while
// it runs changes nothing that goes to the modem, and both images are ready
// before the boot loader is entered.
#include "app/sequencer.h"
#include "tests/e2e/integrity_flashers.h"

#include <cstdio>
#include <filesystem>

namespace tollander::e2e {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// An Intel HEX text and its twin: the same records with the digits A and 5
// swapped. Every data byte is AA, 55, A5 or 5A, four of each to a record, so
// a record's sum is the same in both; no address or checksum holds either
// digit. Both are valid, and the codec finds the same matches in both, so
// they pack to the same length.
std::pair<std::string, std::string> TwinHex(int records) {
    const auto clear = [](const char* text) {
        return std::string(text).find_first_of("A5") == std::string::npos;
    };
    static const char* const kBytes[] = {"AA", "55", "A5", "5A"};
    std::string text;
    for (unsigned address = 0; records > 0; address += 16) {
        unsigned sum = 0x10 + (address >> 8) + (address & 0xFF);
        char line[64];
        std::snprintf(line, sizeof line, ":10%04X00", address);
        std::string record = line;
        for (int i = 0; i < 16; ++i) {
            const char* byte = kBytes[(i + address / 16) % 4];
            record += byte;
            sum += static_cast<unsigned>(std::stoul(byte, nullptr, 16));
        }
        char tail[8];
        std::snprintf(tail, sizeof tail, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
        std::snprintf(line, sizeof line, "%04X", address);
        if (!clear(line) || !clear(tail)) continue;
        text += record + tail + "\r\n";
        --records;
    }
    text += ":00000001FF\r\n";
    std::string twin = text;
    for (char& c : twin)
        c = c == 'A' ? '5' : c == '5' ? 'A' : c;
    return {text, twin};
}

// The record and both images' lengths of a flasher.
std::string RecordOf(const std::string& flasher) {
    const std::string bytes = ReadFile(flasher);
    return bytes.substr(bytes.size() - payload::kConfigRecordSize);
}

// Two flashers that differ in their main image alone, with the same record
// and the same lengths: read at the same offsets, either passes every check.
class HeldFlasher : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        const auto [main, twin] = TwinHex(600);
        main_text_ = main;
        const std::string main_path = dir_ + "/MAIN.HEX";
        const std::string twin_path = dir_ + "/TWIN.HEX";
        std::ofstream(main_path, std::ios::binary) << main;
        std::ofstream(twin_path, std::ios::binary) << twin;
        PackConfig config;
        config.main_hex = main_path;
        flasher_ = PackFlasher(config);
        config.main_hex = twin_path;
        other_ = PackFlasher(config);
        ASSERT_EQ(RecordOf(flasher_), RecordOf(other_));
        ASSERT_NE(ReadFile(flasher_), ReadFile(other_));
    }

    std::string flasher_;
    std::string other_;
    std::string main_text_;
};

TEST_F(HeldFlasher, ItsFileRenamedOverOrDeletedWhileItRunsChangesNothingSent) {
    enum class When { BeforeFlash, BetweenImages };
    enum class How { Replaced, Deleted };
    struct Case {
        const char* what;
        When when;
        How how;
    };
    const Case cases[] = {
        {"another flasher renamed over it before FLASH!", When::BeforeFlash, How::Replaced},
        {"deleted before FLASH!", When::BeforeFlash, How::Deleted},
        {"another flasher renamed over it between the images", When::BetweenImages,
         How::Replaced},
        {"deleted between the images", When::BetweenImages, How::Deleted},
    };
    const Lines whole = ConsoleWholeUpgradeLines();
    const Lines upgrade(whole.begin() + static_cast<std::ptrdiff_t>(ScanOneModemLines().size()),
                        whole.end());
    const std::string kept = flasher_ + "-kept";
    fs::copy_file(flasher_, kept);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::copy_file(kept, flasher_, fs::copy_options::overwrite_existing);
        const std::string other = other_ + "-copy";
        fs::copy_file(other_, other, fs::copy_options::overwrite_existing);
        const auto strike = [&] {
            if (c.how == How::Replaced)
                fs::rename(other, flasher_); // as a download that finishes
            else
                fs::remove(flasher_);
        };
        auto& modem = Modem(1);
        StartApp(flasher_);
        Scan();
        const std::size_t before = Log().size();
        if (c.when == When::BeforeFlash) strike();
        Form().Button2Click();
        if (c.when == When::BetweenImages) {
            // The boot loader has been entered for the boot image: the main
            // image is sent only after the boot image.
            ASSERT_TRUE(RunUntil([&] { return Step() >= app::stepStartBootUpload; }, 60s));
            strike();
        }
        ASSERT_TRUE(RunUntilIdle(120s)) << "flash did not finish";

        EXPECT_EQ(LogFrom(before), upgrade);
        EXPECT_EQ(modem.SavedImages(), 2);
        EXPECT_TRUE(modem.SavedImage(1) == FirmwareText("FLS0228.HEX"));
        EXPECT_TRUE(modem.SavedImage(2) == main_text_);
        EXPECT_EQ(TempFiles(), Lines{});
        modem.Stop();
    }
}

// A run directory with room for the boot image only (a file size limit
// stands for the full disk): the run stops, saying why, before the modem's
// boot loader is entered, and the modem keeps the code it has.
TEST_F(E2eTest, ARunDirectoryWithRoomForOneImageSendsNothing) {
    const std::string flasher = BinDir() + "/tollander-flash-console-sample";
    if (!fs::exists(flasher)) GTEST_SKIP() << "no console flasher built";
    auto& modem = Modem(1);
    // 64 KiB (dash counts 512-byte blocks) or 128 KiB (bash, 1024): room for
    // the boot image (9 KB packed, 21 KB expanded), none for the main image
    // (268 KB packed).
    const auto run = RunProgram(
        {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 128; exec \"$0\" 2>&1", flasher}, "f\n", 120s);

    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(Has(run.out, "Error: ") && Has(run.out, "File too large")) << run.out;
    EXPECT_FALSE(Has(run.out, "Entering FLASH mode")) << run.out;
    EXPECT_EQ(modem.SavedImages(), 0);
    for (const std::string& command : modem.Commands())
        EXPECT_EQ(command.find("ATGLOAD"), std::string::npos) << command;
}

} // namespace
} // namespace tollander::e2e
