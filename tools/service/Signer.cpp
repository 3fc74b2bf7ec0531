// SPDX-License-Identifier: GPL-3.0-or-later
#include "Signer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        bytes.remove_prefix(std::size_t(count));
    }
    return true;
}

} // namespace

Signer::~Signer()
{
    sodium_memzero(m_secret, sizeof m_secret);
}

std::string Signer::base64(const unsigned char *bytes, std::size_t length)
{
    std::string text(sodium_base64_encoded_len(length, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, length, sodium_base64_VARIANT_ORIGINAL);
    text.pop_back(); // the terminating NUL
    return text;
}

std::optional<std::string> Signer::generate(const std::string &file, std::string &error)
{
    unsigned char seed[crypto_sign_SEEDBYTES];
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    randombytes_buf(seed, sizeof seed);
    crypto_sign_seed_keypair(publicKey, secretKey, seed);
    sodium_memzero(secretKey, sizeof secretKey);
    std::string text = base64(seed, sizeof seed) + "\n";
    sodium_memzero(seed, sizeof seed);

    // Never replaces a key: the application of every user trusts the one it was built with.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool done = fd >= 0 && fchmod(fd, 0600) == 0 && writeAll(fd, text) && fsync(fd) == 0;
    if (!done)
        error = file + ": " + std::strerror(errno);
    if (fd >= 0 && ::close(fd) != 0 && done) {
        error = file + ": " + std::strerror(errno);
        done = false;
    }
    sodium_memzero(text.data(), text.size());
    if (!done)
        return std::nullopt;
    return base64(publicKey, sizeof publicKey);
}

std::unique_ptr<Signer> Signer::load(const std::string &file, std::string &error)
{
    // Without O_NONBLOCK a FIFO would hold us until someone writes to it.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = file + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat status
    {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        error = file
                + ": not a regular file; the key is the file that \"tachora-service keygen\""
                  " wrote";
        return nullptr;
    }
    char text[256];
    const ssize_t count = ::read(fd, text, sizeof text);
    ::close(fd);
    unsigned char seed[crypto_sign_SEEDBYTES];
    std::size_t length = 0;
    const bool decoded = count > 0
                         && sodium_base642bin(seed, sizeof seed, text, std::size_t(count), " \r\n",
                                              &length, nullptr, sodium_base64_VARIANT_ORIGINAL)
                                == 0
                         && length == sizeof seed;
    sodium_memzero(text, sizeof text);
    if (!decoded) {
        error = file + ": not a key made by \"tachora-service keygen\"";
        return nullptr;
    }
    std::unique_ptr<Signer> signer(new Signer);
    crypto_sign_seed_keypair(signer->m_public, signer->m_secret, seed);
    sodium_memzero(seed, sizeof seed);
    return signer;
}

std::string Signer::sign(std::string_view bytes) const
{
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char *>(bytes.data()),
                         bytes.size(), m_secret);
    return base64(signature, sizeof signature);
}

std::string Signer::publicKey() const
{
    return base64(m_public, sizeof m_public);
}
