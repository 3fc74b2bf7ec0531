// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The answer of the service's message sync ("/api/check.php") and how it is trusted.
//
// The answer is one JSON object with at least these members:
//   "n"    string   the nonce of the request, repeated
//   "ts"   integer  the service's clock, seconds since 1970-01-01 00:00 UTC
//   "mid"  integer  the message's id; below 1 when there is no message
//   "msg"  string   the message; empty when there is none
//   "sig"  string   standard base64, padded, of the 64-byte Ed25519 signature
// The signature is made with the service's secret key over the UTF-8 bytes of
//   n + "\n" + ts + "\n" + mid + "\n" + msg
// with ts and mid in decimal ("-" before a negative number, no leading zeros). The service
// signs only nonces made of letters, digits and hyphens, so that no field can take in the
// line feed that ends it. The nonce ties an answer to one request, the time keeps an old
// answer from being played again later, and the signature keeps anyone else from speaking
// in the service's name.
namespace SyncAnswer {

struct Message
{
    qint64 id = 0;
    QString text;
};

// Answers larger than this are dropped unread: the client stops receiving them there.
inline constexpr qsizetype maxBytes = 64 * 1024;
// How far the service's clock may be from ours, exclusive.
inline constexpr double maxSkewSeconds = 600;

// The answer's "mid" and "msg" when it has the five members with their types, repeats
// nonce, is signed with publicKey (the 32 bytes of an Ed25519 key) and was made less than
// maxSkewSeconds away from now (seconds since 1970); nothing otherwise.
std::optional<Message> decode(const QByteArray &body, const QString &nonce,
                              const QByteArray &publicKey, double now);

} // namespace SyncAnswer
