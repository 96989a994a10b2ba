// Signed flashers against the virtual modem: a program built with the
// vendor's key refuses each flasher that is not the vendor's at start-up,
// before a port is opened, and the modem hears nothing; a program built
// without keys flashes what it always did.
#include "tests/common/signature_cases.h"
#include "tests/e2e/integrity_flashers.h"

namespace tollander::e2e {
namespace {

using Lines = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;

Bytes BytesOf(const std::string& path) {
    const std::string text = ReadFile(path);
    return Bytes(text.begin(), text.end());
}

TEST_F(E2eTest, FlashersNotSignedByTheVendorAreRefusedBeforeAnyPortOpens) {
    PackConfig unsigned_config;
    unsigned_config.sign_key.clear();
    const Bytes signed_file = BytesOf(PackFlasher());
    const Bytes unsigned_file = BytesOf(PackFlasher(unsigned_config));
    const auto other =
        platform::SigningKey::Load(std::string(TOLLANDER_KEY_DIR) + "/other-vendor.pem", std::nullopt);
    const std::vector<platform::EcPublicKey> vendor(payload::BuiltInVendorKeys().begin(),
                                                    payload::BuiltInVendorKeys().end());
    ASSERT_EQ(vendor.size(), 1u) << "built with the sample vendor's key";
    int n = 0;
    for (const payload::SignatureCase& c :
         payload::SignatureCases(signed_file, unsigned_file, other)) {
        for (const bool keys : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (keys ? ", vendor key" : ", no keys"));
            const int code = keys ? c.with_keys : c.without_keys;
            const std::string file = dir_ + "/case" + std::to_string(++n);
            std::ofstream(file, std::ios::binary)
                .write(reinterpret_cast<const char*>(c.file.data()),
                       static_cast<std::streamsize>(c.file.size()));
            UseVendorKeys(keys ? payload::VendorKeys(vendor) : payload::VendorKeys());
            auto& modem = Modem(1);
            StartApp(file);
            Scan();
            const std::string failed =
                "Flash data integrity check failed.  Failure code  " + std::to_string(code);
            if (keys && code != 0) {
                // At start-up: nothing but the refusal, and no port opened.
                const Lines& log = Log();
                ASSERT_EQ(log.size(), 3u);
                EXPECT_EQ(log[1], failed);
                EXPECT_EQ(log[2], "Complete.");
                EXPECT_EQ(Step(), app::stepStop);
                EXPECT_EQ(modem.Commands(), Lines{});
            } else if (code != 0) {
                // Without keys a damaged block is found where it always
                // was, before the boot loader.
                const std::size_t before = Log().size();
                Flash();
                EXPECT_EQ(LogFrom(before), (Lines{failed, "Complete."}));
                const Lines commands = modem.Commands();
                EXPECT_EQ(std::count(commands.begin(), commands.end(), "ATGLOAD7"), 0);
            } else {
                EXPECT_EQ(Step(), app::stepWaitForUser);
                EXPECT_TRUE(Form().Enabled(app::ButtonId::Button2));
                continue;
            }
            EXPECT_EQ(modem.SavedImages(), 0);
            EXPECT_EQ(TempFiles(), Lines{});
        }
    }
}

} // namespace
} // namespace tollander::e2e
