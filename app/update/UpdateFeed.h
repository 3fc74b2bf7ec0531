// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// The update feed: one JSON object describing the latest release, whose last member is an
// Ed25519 signature of every byte before that member. The body is checked as received, before
// any of it is parsed; nothing from a feed or package that fails a check is ever offered.
//
//   {
//       "expires": "2027-03-01T00:00:00Z",
//       "notes": "…",
//       "packageSignature": "<base64 Ed25519 signature of the .deb>",
//       "sha256": "<hex>",
//       "size": 1234567,
//       "url": "https://…/tachora_0.2.0_amd64.deb",  (https, or http on this machine only)
//       "version": "0.2.0",
//       "signature": "<base64>"
//   }
//
// Keys are raw libsodium keys: 32-byte public keys, 64-byte secret keys.
namespace UpdateFeed {

// The largest feed and package we accept.
inline constexpr qint64 maxFeedBytes = 64 * 1024;
inline constexpr qint64 maxPackageBytes = 256 * 1024 * 1024;

struct Update
{
    QString version;
    QByteArray url;
    qint64 size = 0;
    // Raw digest and signature of the package.
    QByteArray sha256;
    QByteArray packageSignature;
    QString notes;
    // A feed is refused from then on, so that an old one cannot be replayed for ever to hide
    // newer releases.
    QDateTime expires;
};

struct Reading
{
    std::optional<Update> update;
    // Why there is no update: the first check that failed.
    QString error;
};

// The update a feed body describes, when one of the keys signed it and it has not expired.
Reading read(QByteArrayView body, const QList<QByteArray> &publicKeys, const QDateTime &now);

// A feed for update, signed with secretKey; empty when the key is not a secret key.
QByteArray write(const Update &update, const QByteArray &secretKey);

// Whether candidate is a later version than installed. Versions are one to four dot-separated
// numbers; anything else is never newer.
bool isNewer(const QString &candidate, const QString &installed);
bool isValidVersion(const QString &version);

// Whether bytes are the package the update describes: its size, digest and signature.
bool isPackage(QByteArrayView bytes, const Update &update, const QList<QByteArray> &publicKeys);

// Comma-separated base64 public keys; malformed ones are left out.
QList<QByteArray> decodeKeys(QByteArrayView text);
// The keys this build trusts.
QList<QByteArray> builtInKeys();

} // namespace UpdateFeed
