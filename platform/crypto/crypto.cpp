// The portable half of crypto.h: the key's DER form and fingerprint, hex.
#include "platform/crypto/crypto.h"

#include "platform/crypto/crypto_os.h"
#include "platform/fs/files.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace tollander::platform {

namespace {

// SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING { 04 X Y } }
constexpr std::uint8_t kP256InfoPrefix[27] = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
    0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

} // namespace

std::string Sha256::FinishHex() {
    const Sha256Digest digest = Finish();
    return HexOf(digest.data(), digest.size());
}

Sha256Digest Sha256Of(const void* data, std::size_t size) {
    Sha256 sha;
    sha.Update(data, size);
    return sha.Finish();
}

std::string HexOf(const std::uint8_t* data, std::size_t size) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        text += kHex[data[i] >> 4];
        text += kHex[data[i] & 15];
    }
    return text;
}

std::array<std::uint8_t, 91> PublicKeyInfo(const EcPublicKey& key) {
    std::array<std::uint8_t, 91> der{};
    std::copy(std::begin(kP256InfoPrefix), std::end(kP256InfoPrefix), der.begin());
    std::copy(key.begin(), key.end(), der.begin() + sizeof kP256InfoPrefix);
    return der;
}

Sha256Digest KeyFingerprint(const EcPublicKey& key) {
    const auto der = PublicKeyInfo(key);
    return Sha256Of(der.data(), der.size());
}

namespace crypto_os {

SecretText::~SecretText() {
    volatile char* p = bytes.data();
    for (std::size_t i = 0; i < bytes.size(); ++i)
        p[i] = 0;
}

bool SecretText::Has(const char* word) const {
    return std::search(bytes.begin(), bytes.end(), word, word + std::strlen(word)) != bytes.end();
}

void ReadKeyText(const std::string& path, const std::optional<std::string>& pass_phrase,
                 SecretText& text) {
    // A regular file only (a FIFO would wait for a writer, a directory reads
    // as nothing), read in one piece: the text is never copied to memory
    // that is not wiped.
    try {
        File in = File::OpenInput(path);
        text.bytes.resize(static_cast<std::size_t>(in.Size()));
        text.bytes.resize(in.ReadFull(text.bytes.data(), text.bytes.size()));
    } catch (const EInOutError& e) {
        // "PATH: reason"; the reason follows our own words.
        std::string reason = e.what();
        if (reason.starts_with(path + ": ")) reason.erase(0, path.size() + 2);
        throw SigningKeyError(path + ": cannot read the signing key: " + reason);
    }
    if (text.Has("PUBLIC KEY-----"))
        throw SigningKeyError(path + ": this is a public key; signing needs the vendor's "
                                     "private key (the file the public one was made from)");
    if (text.Has("ENCRYPTED") && !pass_phrase)
        throw SigningKeyError(path + ": the key is encrypted and no pass phrase was given; put "
                                     "it in the environment variable TOLLANDER_SIGN_PASS");
}

} // namespace crypto_os

} // namespace tollander::platform
