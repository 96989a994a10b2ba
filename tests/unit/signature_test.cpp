// Signed flashers: what a program built with vendor keys and one built
// without decide for each way a signature can be missing, foreign or wrong,
// at start-up and again before the boot loader. Runs on Linux (libcrypto)
// and under Wine (BCrypt) with the same table.
#include "payload/inspection.h"
#include "payload/integrity.h"
#include "payload/payload.h"
#include "platform/crypto/crypto.h"
#include "tests/common/signature_cases.h"
#include "tests/unit/pack_fixture.h"

#include <functional>
#include <sstream>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace tollander::payload {
namespace {

using namespace tollander::testing;
using Bytes = std::vector<std::uint8_t>;

const std::string kKeyDir = TOLLANDER_KEY_DIR;

std::string HexLines(int records) {
    std::string text;
    for (int r = 0; r < records; ++r) {
        char line[64];
        const unsigned address = static_cast<unsigned>(r) * 4;
        const unsigned sum = 4 + (address >> 8) + (address & 0xFF) + 4 * 0x11;
        std::snprintf(line, sizeof line, ":04%04X0011111111%02X\r\n", address,
                      (0x100 - (sum & 0xFF)) & 0xFF);
        text += line;
    }
    return text + ":00000001FF\r\n";
}

platform::EcPublicKey PublicOf(const std::string& pem) {
    return platform::SigningKey::Load(pem, std::nullopt).PublicKey();
}

class SignatureTest : public ScratchWorld {
protected:
    void SetUp() override {
        ScratchWorld::SetUp();
        WriteText("boot.hex", HexLines(60));
        WriteText("main.hex", HexLines(400));
        WriteBytes("program", Bytes(2000, 0x90));
        sample_ = {PublicOf(kKeyDir + "/sample-vendor.pem")};
        signed_ = PackScratchFlasher(kKeyDir + "/sample-vendor.pem");
        unsigned_ = PackScratchFlasher("");
    }

    // The verdicts of a program with `keys`: at start-up, before the boot
    // loader, and --inspect's; all three must agree.
    int Verdict(const Bytes& file, VendorKeys keys) {
        WriteBytes("flasher", file);
        PayloadState state("flasher");
        state.SetVendorKeys(keys);
        const bool read = state.ReadConfigRecord();
        const int at_start = state.RecordFault();
        EXPECT_EQ(read, at_start == 0);
        RawConfigRecord raw{};
        std::copy(file.end() - static_cast<std::ptrdiff_t>(raw.size()), file.end(), raw.begin());
        platform::File in = platform::File::OpenRead("flasher");
        const int before_loader = CheckFlasher(in, raw, true, keys).code;
        // A verdict at start-up stands; one that passes it is the full check's.
        if (at_start != 0) {
            EXPECT_EQ(before_loader, at_start);
        }
        EXPECT_EQ(InspectFile("flasher", keys).integrity.code, before_loader);
        return at_start != 0 ? at_start : before_loader;
    }

    std::vector<platform::EcPublicKey> sample_;
    Bytes signed_, unsigned_;
};

TEST_F(SignatureTest, EachSignatureFaultHasItsCode) {
    const auto other = platform::SigningKey::Load(kKeyDir + "/other-vendor.pem", std::nullopt);
    for (const SignatureCase& c : SignatureCases(signed_, unsigned_, other)) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Verdict(c.file, sample_), c.with_keys);
        EXPECT_EQ(Verdict(c.file, {}), c.without_keys);
    }
}

TEST_F(SignatureTest, InspectionShowsTheKeyAndTheVerdict) {
    const platform::EcPublicKey other = PublicOf(kKeyDir + "/other-vendor.pem");
    WriteBytes("flasher", signed_);
    const SignatureInfo seen = InspectFile("flasher", sample_).integrity.signature;
    EXPECT_TRUE(seen.present && seen.verifies && seen.known);
    EXPECT_EQ(seen.fingerprint, platform::KeyFingerprint(sample_[0]));
    const std::string fingerprint = DigestHex(seen.fingerprint);
    EXPECT_EQ(DescribeSignature(seen, true),
              "Signature    = key SHA256:" + fingerprint + ", verifies, a vendor key this program carries");
    const std::vector<platform::EcPublicKey> others{other};
    EXPECT_EQ(DescribeSignature(InspectFile("flasher", others).integrity.signature, true),
              "Signature    = key SHA256:" + fingerprint +
                  ", verifies, not a vendor key this program carries");
    WriteBytes("flasher", unsigned_);
    EXPECT_EQ(DescribeSignature(InspectFile("flasher", sample_).integrity.signature, true),
              "Signature    = none: this program refuses unsigned flashers");
    std::ostringstream printed;
    tools::PrintInspection(InspectFile("flasher", sample_), printed);
    EXPECT_NE(printed.str().find("Check        = refused, failure code -8: the flasher is not signed"),
              std::string::npos)
        << printed.str();
}

// The system's SHA-256 against the standard's vectors, fed whole and in
// odd pieces.
TEST(Sha256Test, KnownVectors) {
    auto sha = [](const std::string& text) { return platform::Sha256Of(text.data(), text.size()); };
    auto hex = [](const Digest& d) { return DigestHex(d); };
    EXPECT_EQ(hex(sha("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex(sha("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(sha("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    const std::string million(1'000'000, 'a');
    platform::Sha256 pieces;
    for (std::size_t at = 0; at < million.size(); at += 777)
        pieces.Update(million.data() + at, std::min<std::size_t>(777, million.size() - at));
    EXPECT_EQ(pieces.FinishHex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // Finish starts afresh.
    pieces.Update("abc", 3);
    EXPECT_EQ(pieces.FinishHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// Keys the packer cannot sign with are refused before anything is written,
// each with what is wrong; an encrypted key opens with its pass phrase.
TEST(SigningKeyTest, UnusableKeysAreRefusedWithTheReason) {
    const std::pair<std::string, const char*> refused[] = {
        {"sample-vendor.pub.pem", "this is a public key"},
        {"p384.pem", "P-256"},
        {"encrypted.pem", "no pass phrase was given"},
        {"absent.pem", "cannot read the signing key"},
        {".", "cannot read the signing key: not a regular file (a directory)"},
    };
    for (const auto& [file, reason] : refused) {
        SCOPED_TRACE(file);
        try {
            platform::SigningKey::Load(kKeyDir + "/" + file, std::nullopt);
            ADD_FAILURE() << "taken";
        } catch (const platform::SigningKeyError& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
    }
#ifndef _WIN32
    // The encrypted key is the other vendor's.
    EXPECT_EQ(platform::SigningKey::Load(kKeyDir + "/encrypted.pem", "sesame").PublicKey(),
              PublicOf(kKeyDir + "/other-vendor.pem"));
    EXPECT_THROW(platform::SigningKey::Load(kKeyDir + "/encrypted.pem", "wrong"),
                 platform::SigningKeyError);
#endif
}

#ifndef _WIN32
class KeyFileModeTest : public ScratchWorld {};

// A private key others may read is no longer the vendor's alone: refused.
TEST_F(KeyFileModeTest, AKeyOthersMayReadIsRefused) {
    fs::copy_file(kKeyDir + "/sample-vendor.pem", "key.pem");
    for (const auto mode : {fs::perms::group_read, fs::perms::others_read}) {
        fs::permissions("key.pem", fs::perms::owner_read | fs::perms::owner_write | mode);
        try {
            platform::SigningKey::Load("key.pem", std::nullopt);
            ADD_FAILURE() << "taken";
        } catch (const platform::SigningKeyError& e) {
            EXPECT_NE(std::string(e.what()).find("open to other users"), std::string::npos)
                << e.what();
        }
    }
    fs::permissions("key.pem", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_NO_THROW(platform::SigningKey::Load("key.pem", std::nullopt));
}

// A FIFO is refused before it is opened: reading it would wait for a writer.
TEST_F(KeyFileModeTest, AFifoIsRefusedUnopened) {
    ASSERT_EQ(::mkfifo("key.pem", 0600), 0);
    try {
        platform::SigningKey::Load("key.pem", std::nullopt);
        ADD_FAILURE() << "taken";
    } catch (const platform::SigningKeyError& e) {
        EXPECT_STREQ(e.what(), "key.pem: cannot read the signing key: not a regular file (a FIFO)");
    }
}
#endif

} // namespace
} // namespace tollander::payload
