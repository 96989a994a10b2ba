// What crypto_posix.cpp and crypto_win32.cpp share: reading a private key's
// PEM text and refusing the kinds of file no system can sign with.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tollander::platform::crypto_os {

// A private key's text, wiped from memory when it goes.
struct SecretText {
    std::vector<char> bytes;
    SecretText() = default;
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    ~SecretText();
    bool Has(const char* word) const;
};

// The file's text; SigningKeyError for a file that cannot be read, a public
// key, or an encrypted key with no `pass_phrase`.
void ReadKeyText(const std::string& path, const std::optional<std::string>& pass_phrase,
                 SecretText& text);

} // namespace tollander::platform::crypto_os
