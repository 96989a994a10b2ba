// SHA-256 and ECDSA over P-256 with SHA-256, from the system's own
// cryptography: libcrypto (linked into the program) on Linux, CNG's BCrypt
// on Windows. Keys and signatures travel as raw big-endian numbers, the form
// both take without conversion: a public key is X then Y (32 bytes each), a
// signature r then s.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace tollander::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;
using EcPublicKey = std::array<std::uint8_t, 64>;
using EcSignature = std::array<std::uint8_t, 64>;

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    void Update(const void* data, std::size_t size);
    // The digest of everything given since construction or the last Finish;
    // the object starts afresh.
    Sha256Digest Finish();
    // Lower-case hexadecimal of Finish().
    std::string FinishHex();

private:
    struct State;
    std::unique_ptr<State> state_;
};

Sha256Digest Sha256Of(const void* data, std::size_t size);
std::string HexOf(const std::uint8_t* data, std::size_t size);

// Whether `signature` is `key`'s ECDSA P-256 signature of the SHA-256 of
// `message`. False for a key that is no point of the curve.
bool VerifyP256(const EcPublicKey& key, const void* message, std::size_t size,
                const EcSignature& signature);

// The key as a DER SubjectPublicKeyInfo, and its SHA-256: the fingerprint
// `openssl pkey -pubin -outform DER | sha256sum` gives for its PEM file.
std::array<std::uint8_t, 91> PublicKeyInfo(const EcPublicKey& key);
Sha256Digest KeyFingerprint(const EcPublicKey& key);

// A private key that cannot be used, and why.
class SigningKeyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A vendor's ECDSA P-256 private key, read from a PEM file (as
// `openssl ecparam -genkey -name prime256v1` or `openssl genpkey` make it)
// and held in memory only: nothing of it is ever written out.
class SigningKey {
public:
    // Refuses (SigningKeyError, saying why and what to do) a file that
    // others may read, a public key, a key of another kind or curve, and an
    // encrypted key when `pass_phrase` is not given or does not open it.
    static SigningKey Load(const std::string& pem_path,
                           const std::optional<std::string>& pass_phrase);
    SigningKey(SigningKey&&) noexcept;
    ~SigningKey();

    const EcPublicKey& PublicKey() const { return public_; }
    EcSignature Sign(const void* message, std::size_t size) const;

private:
    struct Key;
    explicit SigningKey(std::unique_ptr<Key> key);
    std::unique_ptr<Key> key_;
    EcPublicKey public_{};
};

} // namespace tollander::platform
