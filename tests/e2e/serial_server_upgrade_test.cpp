// Whole upgrades through a real ser2net at the real line rate: byte for byte
// at the modem over RFC 2217 and over the raw stream, and a server that dies
// in the middle of an image is a hang-up the flash reports.
#include <memory>
#include <thread>

#include "tests/e2e/fixture.h"
#include "tests/e2e/serial_server.h"

namespace tollander::e2e {
namespace {

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class SerialServerUpgrade : public E2eTest, public ::testing::WithParamInterface<bool> {
protected:
    // A modem at the line rate behind ser2net, COM1 its port on the server
    // (over RFC 2217 or the raw stream), scanned.
    VModem& ScanThroughServer() {
        auto& modem = ServedModem({"--rate", "11520"});
        server_ = std::make_unique<Ser2net>(dir_, modem.Device());
        MapPort(1, GetParam() ? server_->Rfc2217() : server_->Raw());
        StartApp(PackFlasher());
        Scan();
        return modem;
    }

    std::unique_ptr<Ser2net> server_;
};

TEST_P(SerialServerUpgrade, WholeUpgradeArrivesByteForByte) {
    auto& modem = ScanThroughServer();
    Flash(240s);

    EXPECT_EQ(Log().back(), "Complete.");
    EXPECT_FALSE(Has(Log(), "Flash file upload did not complete successfully."));
    ASSERT_EQ(modem.SavedImages(), 2);
    EXPECT_TRUE(modem.SavedImage(1) == ReadFile(FirmwareDir() + "/FLS0228.HEX"))
        << "boot code image differs";
    EXPECT_TRUE(modem.SavedImage(2) == ReadFile(FirmwareDir() + "/F2ZE0529.HEX"))
        << "main code image differs";
    EXPECT_FALSE(Form().ComPort1().Open());
    EXPECT_FALSE(Form().Outcome().failure_logged);
}

TEST_P(SerialServerUpgrade, ServerKilledMidUploadIsAHangUp) {
    auto& modem = ScanThroughServer();
    const std::size_t scanned = Log().size();
    // The server dies once the first image is under way; the flash runs
    // its window loop meanwhile.
    std::thread killer([&] {
        if (modem.WaitForEvents("upload_start", 1, 120s)) server_->Kill();
    });
    Flash(120s);
    killer.join();

    // Whether the server died before the image's data or in it, the flash
    // says it failed and the modem never holds the whole image.
    const auto after = LogFrom(scanned);
    std::string shown;
    for (const auto& line : after)
        shown += line + "\n";
    SCOPED_TRACE(shown);
    EXPECT_FALSE(Has(after, "Flash file upload sent successfully."));
    EXPECT_TRUE(Has(after, "Flash file upload did not complete successfully.") ||
                Has(after, "Modem not responding -- aborting."));
    for (int n = 1; n <= modem.SavedImages(); ++n)
        EXPECT_FALSE(modem.SavedImage(n) == ReadFile(FirmwareDir() + "/FLS0228.HEX"));
}

INSTANTIATE_TEST_SUITE_P(Schemes, SerialServerUpgrade, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "rfc2217" : "socket"; });

} // namespace
} // namespace tollander::e2e
