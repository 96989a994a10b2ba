// Intact flashers, with or without digests, flash as they always did; an
// image changed after its check never goes out.
#include "app/devices.h"
#include "platform/thread/headless_window_thread.h"
#include "tests/e2e/integrity_flashers.h"

#include <filesystem>

namespace tollander::e2e {
namespace {

using Lines = std::vector<std::string>;

// Signed for this build's programs; unsigned, with digests or without, for a
// program built without vendor keys.
TEST_F(E2eTest, IntactFlashersFlashAsBeforeWithOrWithoutDigests) {
    const std::string signed_flasher = PackFlasher();
    PackConfig unsigned_config;
    unsigned_config.sign_key.clear();
    const std::string unsigned_flasher = PackFlasher(unsigned_config);
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
        bool keys;
        Damage damage;
        Lines inspect; // tollander-pack judges as this build's programs do
    };
    const Case cases[] = {
        {"signed",
         true,
         Damage::None,
         {"Integrity    = digest block, format 3", "Signature    = key SHA256:",
          "Check        = passes", "Boot digest  = matches", "Main digest  = matches",
          "Record digest= matches"}},
        {"digests, no keys",
         false,
         Damage::None,
         {"Integrity    = digest block, format 2", "Boot digest  = matches",
          "Main digest  = matches", "Record digest= matches"}},
        {"no digests, no keys",
         false,
         Damage::NoBlock,
         {"Integrity    = no digest block"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = Damaged(c.keys ? signed_flasher : unsigned_flasher, c.damage);
        if (!c.keys) UseVendorKeys({});
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

// The steps of one upload driven by hand, with the system's own payload,
// port and protocol: between the expansion and the upload another program
// puts a file of its own under the HEX file's name.
TEST_F(E2eTest, AnImageReplacedAfterItsCheckIsNotSent) {
    PackConfig config;
    config.boot = false;
    const std::string flasher = PackFlasher(config);
    auto& modem = Modem(1);
    platform::HeadlessWindowThread window;
    app::Devices devices = app::MakeSystemDevices(window);
    app::PayloadOps& payload = *devices.payload;
    payload.SetExePath(flasher);
    payload.ReadConfigRecord([](bool, std::int64_t) {});
    payload.ParseConfigRecord();
    payload.ApplyConfigRecord();
    std::int64_t failure = 0;
    const auto integrity = [&](bool passed, std::int64_t code) { failure = passed ? 0 : code; };
    ASSERT_TRUE(payload.ExtractImage(app::Image::Main, integrity));
    ASSERT_TRUE(payload.ExpandImage(app::Image::Main, integrity));
    ASSERT_EQ(failure, 0);

    const std::string hex = payload.TempFilePath(payload.CurrentHexFile());
    std::filesystem::remove(hex);
    std::ofstream(hex, std::ios::binary) << FirmwareText("FLS0228.HEX");

    app::ModemPort& port = *devices.port;
    port.SetComNumber(1);
    port.SetOpen(true);
    port.SendText("ATGLOAD7\r");
    ASSERT_EQ(port.AwaitAnyText("ERROR^Boot>", 36, true, true, '^'), 2);
    port.SendText("AT{A}\r");
    ASSERT_EQ(port.AwaitAnyText("ERROR^Prog HEX", 36, true, true, '^'), 2);

    std::vector<int> errors;
    std::optional<int> finish;
    devices.protocol->OnProtocolError = [&](int code) { errors.push_back(code); };
    devices.protocol->OnProtocolFinish = [&](int code) { finish = code; };
    devices.protocol->StartAsciiSend(hex, payload.UploadCheck());
    const auto guard = std::chrono::steady_clock::now() + 60s;
    while (!finish && std::chrono::steady_clock::now() < guard)
        window.wait(200ms);
    ASSERT_TRUE(finish) << "no finish event in time";
    EXPECT_EQ(*finish, -6021);
    EXPECT_EQ(errors, std::vector<int>{-6021});

    // The boot loader heard nothing of an image and says so.
    EXPECT_EQ(port.AwaitAnyText("Program was successful^No RX data timeout", 72, true, true, '^'),
              2);
    port.SetOpen(false);
    for (int n = 1; n <= modem.SavedImages(); ++n)
        EXPECT_EQ(modem.SavedImage(n), "") << n;
    payload.DeleteTempFiles();
}

} // namespace
} // namespace tollander::e2e
