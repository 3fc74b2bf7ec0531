// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sodium.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The service's Ed25519 key: signs every sync answer, so that the application takes
// messages from this service only. The key file holds the 32-byte seed as base64 text.
class Signer
{
public:
    ~Signer();
    Signer(const Signer &) = delete;
    Signer &operator=(const Signer &) = delete;

    // Makes a new key in `file`, which must not exist yet, readable by its owner only.
    // The public key as base64 text, or nothing with `error` set.
    static std::optional<std::string> generate(const std::string &file, std::string &error);
    static std::unique_ptr<Signer> load(const std::string &file, std::string &error);

    // Standard base64 of the 64-byte detached signature of these bytes.
    std::string sign(std::string_view bytes) const;
    std::string publicKey() const;

    static std::string base64(const unsigned char *bytes, std::size_t length);

private:
    Signer() = default;

    unsigned char m_secret[crypto_sign_SECRETKEYBYTES] = {};
    unsigned char m_public[crypto_sign_PUBLICKEYBYTES] = {};
};
