// crypto.h on Linux: libcrypto, linked statically so that a flasher needs no
// library it did not need before.
#include "platform/crypto/crypto.h"

#include "platform/crypto/crypto_os.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace tollander::platform {

namespace {

struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct SigFree {
    void operator()(ECDSA_SIG* s) const { ECDSA_SIG_free(s); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

MdCtx NewContext() {
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx) throw std::bad_alloc();
    return ctx;
}

void StartDigest(EVP_MD_CTX* ctx) {
    if (EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is not available from libcrypto");
}

Pkey ImportPublic(const EcPublicKey& key) {
    const auto der = PublicKeyInfo(key);
    const unsigned char* p = der.data();
    return Pkey(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
}

} // namespace

struct Sha256::State {
    MdCtx ctx = NewContext();
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    StartDigest(state_->ctx.get());
}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::Update(const void* data, std::size_t size) {
    if (size > 0) EVP_DigestUpdate(state_->ctx.get(), data, size);
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest{};
    unsigned int n = 0;
    EVP_DigestFinal_ex(state_->ctx.get(), digest.data(), &n);
    StartDigest(state_->ctx.get());
    return digest;
}

bool VerifyP256(const EcPublicKey& key, const void* message, std::size_t size,
                const EcSignature& signature) {
    const Pkey pkey = ImportPublic(key);
    if (!pkey) {
        ERR_clear_error();
        return false;
    }
    // libcrypto takes the signature as DER.
    std::unique_ptr<ECDSA_SIG, SigFree> sig(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        throw std::bad_alloc();
    }
    unsigned char* der = nullptr;
    const int der_size = i2d_ECDSA_SIG(sig.get(), &der);
    if (der_size <= 0) throw std::bad_alloc();
    const MdCtx ctx = NewContext();
    const bool ok =
        EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) == 1 &&
        EVP_DigestVerify(ctx.get(), der, static_cast<std::size_t>(der_size),
                         static_cast<const unsigned char*>(message), size) == 1;
    OPENSSL_free(der);
    ERR_clear_error();
    return ok;
}

struct SigningKey::Key {
    Pkey pkey;
};

SigningKey::SigningKey(std::unique_ptr<Key> key) : key_(std::move(key)) {}
SigningKey::SigningKey(SigningKey&&) noexcept = default;
SigningKey::~SigningKey() = default;

namespace {

int GivePassPhrase(char* buffer, int size, int, void* user) {
    const auto* phrase = static_cast<const std::optional<std::string>*>(user);
    if (!*phrase || phrase->value().size() > static_cast<std::size_t>(size)) return -1;
    std::memcpy(buffer, phrase->value().data(), phrase->value().size());
    return static_cast<int>(phrase->value().size());
}

} // namespace

SigningKey SigningKey::Load(const std::string& path,
                            const std::optional<std::string>& pass_phrase) {
    crypto_os::SecretText text;
    crypto_os::ReadKeyText(path, pass_phrase, text);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        throw SigningKeyError(path + ": cannot read the signing key: " + std::strerror(errno));
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        throw SigningKeyError(path + ": the private key is open to other users; make it "
                                     "yours alone (chmod 600 " + path + ") and sign again");
    const bool encrypted = text.Has("ENCRYPTED");
    std::unique_ptr<BIO, BioFree> bio(
        BIO_new_mem_buf(text.bytes.data(), static_cast<int>(text.bytes.size())));
    Pkey pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, GivePassPhrase,
                                      const_cast<std::optional<std::string>*>(&pass_phrase)));
    ERR_clear_error();
    if (!pkey)
        throw SigningKeyError(path + (encrypted
                                          ? ": the pass phrase does not open the key"
                                          : ": not a PEM private key; make one with openssl "
                                            "ecparam -genkey -name prime256v1 -noout"));
    char group[64] = "";
    std::size_t group_size = 0;
    if (EVP_PKEY_get_base_id(pkey.get()) != EVP_PKEY_EC)
        throw SigningKeyError(path + ": not an elliptic-curve key; signing needs an ECDSA "
                                     "P-256 (prime256v1) key");
    if (EVP_PKEY_get_utf8_string_param(pkey.get(), OSSL_PKEY_PARAM_GROUP_NAME, group,
                                       sizeof group, &group_size) != 1 ||
        std::strcmp(group, "prime256v1") != 0) {
        ERR_clear_error();
        throw SigningKeyError(path + ": the key is on the curve " +
                              (group[0] ? std::string(group) : std::string("(unnamed)")) +
                              "; signing needs P-256 (prime256v1)");
    }
    unsigned char* der = nullptr;
    const int der_size = i2d_PUBKEY(pkey.get(), &der);
    auto key = std::make_unique<Key>();
    key->pkey = std::move(pkey);
    SigningKey signing(std::move(key));
    const auto expected = PublicKeyInfo(EcPublicKey{});
    const bool fits = der_size == static_cast<int>(expected.size()) &&
                      std::equal(expected.begin(), expected.end() - 64, der);
    if (fits) std::copy(der + der_size - 64, der + der_size, signing.public_.begin());
    OPENSSL_free(der);
    if (!fits) throw SigningKeyError(path + ": the key's public half cannot be read");
    return signing;
}

EcSignature SigningKey::Sign(const void* message, std::size_t size) const {
    const MdCtx ctx = NewContext();
    unsigned char der[80];
    std::size_t der_size = sizeof der;
    if (EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_->pkey.get()) != 1 ||
        EVP_DigestSign(ctx.get(), der, &der_size, static_cast<const unsigned char*>(message),
                       size) != 1) {
        ERR_clear_error();
        throw SigningKeyError("signing failed in libcrypto");
    }
    const unsigned char* p = der;
    std::unique_ptr<ECDSA_SIG, SigFree> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der_size)));
    if (!sig) throw SigningKeyError("libcrypto gave a signature it cannot read back");
    EcSignature out{};
    BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out.data(), 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out.data() + 32, 32);
    return out;
}

} // namespace tollander::platform
