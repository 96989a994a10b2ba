// crypto.h on Windows: CNG's BCrypt, part of the system.
#include "platform/crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <new>
#include <vector>

namespace tollander::platform {

namespace {

bool Ok(NTSTATUS status) {
    return status >= 0;
}

// Algorithm handles are opened once and kept for the life of the process.
BCRYPT_ALG_HANDLE Provider(const wchar_t* algorithm) {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!Ok(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, 0)))
        throw std::runtime_error("the system's cryptography offers no " +
                                 std::string(algorithm == BCRYPT_SHA256_ALGORITHM
                                                 ? "SHA-256"
                                                 : "ECDSA P-256"));
    return handle;
}

BCRYPT_ALG_HANDLE Sha256Provider() {
    static const BCRYPT_ALG_HANDLE handle = Provider(BCRYPT_SHA256_ALGORITHM);
    return handle;
}

BCRYPT_ALG_HANDLE EcdsaProvider() {
    static const BCRYPT_ALG_HANDLE handle = Provider(BCRYPT_ECDSA_P256_ALGORITHM);
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

// Flashers are signed with the Linux build of tollander-pack; the Windows
// programs only verify.
struct SigningKey::Key {};

SigningKey::SigningKey(std::unique_ptr<Key> key) : key_(std::move(key)) {}
SigningKey::SigningKey(SigningKey&&) noexcept = default;
SigningKey::~SigningKey() = default;

SigningKey SigningKey::Load(const std::string& path, const std::optional<std::string>&) {
    throw SigningKeyError(path + ": this build of tollander-pack does not sign; sign with the "
                                 "Linux build");
}

EcSignature SigningKey::Sign(const void*, std::size_t) const {
    throw SigningKeyError("this build of tollander-pack does not sign");
}

} // namespace tollander::platform
