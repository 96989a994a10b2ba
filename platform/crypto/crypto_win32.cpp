// crypto.h on Windows: CNG's BCrypt, part of the system.
#include "platform/crypto/crypto.h"

#include "platform/crypto/crypto_os.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <initializer_list>
#include <new>
#include <string_view>
#include <vector>

namespace tollander::platform {

namespace {

bool Ok(NTSTATUS status) {
    return status >= 0;
}

// Algorithm handles are opened once and kept for the life of the process.
BCRYPT_ALG_HANDLE Provider(const wchar_t* algorithm, const char* name) {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!Ok(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, 0)))
        throw std::runtime_error(std::string("the system's cryptography offers no ") + name);
    return handle;
}

BCRYPT_ALG_HANDLE Sha256Provider() {
    static const BCRYPT_ALG_HANDLE handle = Provider(BCRYPT_SHA256_ALGORITHM, "SHA-256");
    return handle;
}

BCRYPT_ALG_HANDLE EcdsaProvider() {
    static const BCRYPT_ALG_HANDLE handle = Provider(BCRYPT_ECDSA_P256_ALGORITHM, "ECDSA P-256");
    return handle;
}

BCRYPT_HASH_HANDLE NewHash() {
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!Ok(BCryptCreateHash(Sha256Provider(), &hash, nullptr, 0, nullptr, 0, 0)))
        throw std::bad_alloc();
    return hash;
}

} // namespace

struct Sha256::State {
    BCRYPT_HASH_HANDLE hash = NewHash();
    ~State() { BCryptDestroyHash(hash); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::Update(const void* data, std::size_t size) {
    const auto* p = static_cast<const UCHAR*>(data);
    while (size > 0) {
        const ULONG n = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        BCryptHashData(state_->hash, const_cast<PUCHAR>(p), n, 0);
        p += n;
        size -= n;
    }
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest{};
    BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    // A finished hash object takes no more data: start a new one.
    state_ = std::make_unique<State>();
    return digest;
}

bool VerifyP256(const EcPublicKey& key, const void* message, std::size_t size,
                const EcSignature& signature) {
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
    auto* header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data());
    header->dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header->cbKey = 32;
    std::copy(key.begin(), key.end(), blob.begin() + sizeof(BCRYPT_ECCKEY_BLOB));
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (!Ok(BCryptImportKeyPair(EcdsaProvider(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle,
                                blob.data(), static_cast<ULONG>(blob.size()), 0)))
        return false;
    Sha256Digest digest = Sha256Of(message, size);
    const bool ok = Ok(BCryptVerifySignature(handle, nullptr, digest.data(),
                                             static_cast<ULONG>(digest.size()),
                                             const_cast<PUCHAR>(signature.data()),
                                             static_cast<ULONG>(signature.size()), 0));
    BCryptDestroyKey(handle);
    return ok;
}

// The key is read from its DER form, SEC1 ("EC PRIVATE KEY") or unencrypted
// PKCS#8 ("PRIVATE KEY"): both hold the curve's name, the private number
// after 02 01 01 04 20 and the public point after 03 42 00 04.
struct SigningKey::Key {
    BCRYPT_KEY_HANDLE handle = nullptr;
    ~Key() {
        if (handle) BCryptDestroyKey(handle);
    }
};

SigningKey::SigningKey(std::unique_ptr<Key> key) : key_(std::move(key)) {}
SigningKey::SigningKey(SigningKey&&) noexcept = default;
SigningKey::~SigningKey() = default;

namespace {

// The base64 body of the PEM text between its BEGIN and END lines.
bool DecodePem(const std::vector<char>& text, crypto_os::SecretText& der) {
    static const std::string kBegin = "-----BEGIN ", kEnd = "-----END ";
    const std::string_view all(text.data(), text.size());
    const std::size_t begin = all.find(kBegin);
    if (begin == std::string_view::npos) return false;
    const std::size_t body = all.find('\n', begin);
    const std::size_t end = all.find(kEnd, begin + kBegin.size());
    if (body == std::string_view::npos || end == std::string_view::npos || end < body)
        return false;
    unsigned bits = 0;
    int count = 0;
    for (char c : all.substr(body, end - body)) {
        int v = -1;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        if (v < 0) continue;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            der.bytes.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return !der.bytes.empty();
}

// Where `pattern` ends in `der`, or npos.
std::size_t After(const crypto_os::SecretText& der, std::initializer_list<unsigned char> pattern) {
    const auto at = std::search(der.bytes.begin(), der.bytes.end(), pattern.begin(), pattern.end(),
                                [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; });
    if (at == der.bytes.end()) return std::string::npos;
    return static_cast<std::size_t>(at - der.bytes.begin()) + pattern.size();
}

} // namespace

SigningKey SigningKey::Load(const std::string& path,
                            const std::optional<std::string>& pass_phrase) {
    crypto_os::SecretText text;
    crypto_os::ReadKeyText(path, pass_phrase, text);
    if (text.Has("ENCRYPTED"))
        throw SigningKeyError(path + ": the Windows build reads unencrypted keys only; sign with "
                                     "the Linux build, which takes TOLLANDER_SIGN_PASS");
    crypto_os::SecretText der;
    if (!text.Has("PRIVATE KEY-----") || !DecodePem(text.bytes, der))
        throw SigningKeyError(path + ": not a PEM private key; make one with openssl ecparam "
                                     "-genkey -name prime256v1 -noout");
    // SEC1 names only the curve; PKCS#8 the kind of key too.
    const bool elliptic =
        text.Has("EC PRIVATE KEY") ||
        After(der, {0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01}) != std::string::npos;
    if (!elliptic)
        throw SigningKeyError(path + ": not an elliptic-curve key; signing needs an ECDSA "
                                     "P-256 (prime256v1) key");
    if (After(der, {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07}) ==
        std::string::npos)
        throw SigningKeyError(path + ": the key is not on the curve P-256 (prime256v1), which "
                                     "signing needs");
    const std::size_t d = After(der, {0x02, 0x01, 0x01, 0x04, 0x20});
    const std::size_t point = After(der, {0x03, 0x42, 0x00, 0x04});
    if (d == std::string::npos || point == std::string::npos || d + 32 > der.bytes.size() ||
        point + 64 > der.bytes.size())
        throw SigningKeyError(path + ": the key's numbers cannot be read (a key made by openssl "
                                     "ecparam -genkey -name prime256v1 holds them)");
    crypto_os::SecretText blob;
    blob.bytes.resize(sizeof(BCRYPT_ECCKEY_BLOB) + 96);
    auto* header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.bytes.data());
    header->dwMagic = BCRYPT_ECDSA_PRIVATE_P256_MAGIC;
    header->cbKey = 32;
    char* numbers = blob.bytes.data() + sizeof(BCRYPT_ECCKEY_BLOB);
    std::copy_n(der.bytes.begin() + static_cast<std::ptrdiff_t>(point), 64, numbers);
    std::copy_n(der.bytes.begin() + static_cast<std::ptrdiff_t>(d), 32, numbers + 64);
    auto key = std::make_unique<Key>();
    if (!Ok(BCryptImportKeyPair(EcdsaProvider(), nullptr, BCRYPT_ECCPRIVATE_BLOB, &key->handle,
                                reinterpret_cast<PUCHAR>(blob.bytes.data()),
                                static_cast<ULONG>(blob.bytes.size()), 0)))
        throw SigningKeyError(path + ": the system's cryptography does not take this key");
    SigningKey signing(std::move(key));
    std::copy_n(numbers, 64, signing.public_.begin());
    return signing;
}

EcSignature SigningKey::Sign(const void* message, std::size_t size) const {
    Sha256Digest digest = Sha256Of(message, size);
    EcSignature out{};
    ULONG written = 0;
    if (!Ok(BCryptSignHash(key_->handle, nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                           out.data(), static_cast<ULONG>(out.size()), &written, 0)) ||
        written != out.size())
        throw SigningKeyError("signing failed in the system's cryptography");
    return out;
}

} // namespace tollander::platform
