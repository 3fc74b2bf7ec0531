// SPDX-License-Identifier: GPL-3.0-or-later
#include "Ed25519.h"

#include <sodium.h>

namespace Ed25519 {

namespace {

bool sodiumReady()
{
    // 1 means another part of the process initialised it first.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

} // namespace

KeyPair newKeyPair()
{
    if (!sodiumReady())
        return {};
    KeyPair keys{QByteArray(crypto_sign_PUBLICKEYBYTES, Qt::Uninitialized),
                 QByteArray(crypto_sign_SECRETKEYBYTES, Qt::Uninitialized)};
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(keys.publicKey.data()),
                        reinterpret_cast<unsigned char *>(keys.secretKey.data()));
    return keys;
}

QByteArray sign(QByteArrayView message, const QByteArray &secretKey)
{
    if (!sodiumReady() || secretKey.size() != crypto_sign_SECRETKEYBYTES)
        return {};
    QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char *>(message.data()),
                         quint64(message.size()),
                         reinterpret_cast<const unsigned char *>(secretKey.constData()));
    return signature;
}

bool verify(QByteArrayView message, QByteArrayView signature, const QList<QByteArray> &publicKeys)
{
    // libsodium reads fixed sizes through these pointers: check them first.
    if (!sodiumReady() || signature.size() != crypto_sign_BYTES)
        return false;
    for (const QByteArray &key : publicKeys) {
        if (key.size() == crypto_sign_PUBLICKEYBYTES
            && crypto_sign_verify_detached(
                   reinterpret_cast<const unsigned char *>(signature.data()),
                   reinterpret_cast<const unsigned char *>(message.data()), quint64(message.size()),
                   reinterpret_cast<const unsigned char *>(key.constData()))
                   == 0)
            return true;
    }
    return false;
}

} // namespace Ed25519
