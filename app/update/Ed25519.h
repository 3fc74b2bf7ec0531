// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// Ed25519 signatures through libsodium, with raw keys: 32-byte public keys, 64-byte secret keys
// and 64-byte signatures.
namespace Ed25519 {

struct KeyPair
{
    QByteArray publicKey;
    QByteArray secretKey;
};
// A new signing key pair; empty keys when libsodium cannot start.
KeyPair newKeyPair();

// Empty for a bad key.
QByteArray sign(QByteArrayView message, const QByteArray &secretKey);
// Whether any of publicKeys signed message; keys of the wrong size sign nothing.
bool verify(QByteArrayView message, QByteArrayView signature, const QList<QByteArray> &publicKeys);

} // namespace Ed25519
