// SPDX-License-Identifier: GPL-3.0-or-later
#include "UpdateFeed.h"

#include "Ed25519.h"

#include "platform/BuildConfig.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>

#include <sodium.h>

namespace UpdateFeed {

namespace {

const QByteArray signatureKey = QByteArrayLiteral("\"signature\"");

std::optional<QByteArray> fromBase64(QByteArrayView text, qsizetype size)
{
    const auto decoded =
        QByteArray::fromBase64Encoding(text.toByteArray(), QByteArray::AbortOnBase64DecodingErrors);
    // Only the one canonical spelling: unused low bits of the last character must be zero,
    // so that no other bytes than the signer's pass.
    if (!decoded || decoded.decoded.size() != size || decoded.decoded.toBase64() != text)
        return std::nullopt;
    return decoded.decoded;
}

std::optional<QList<qint64>> versionParts(const QString &version)
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{1,9}(\\.\\d{1,9}){0,3}$"));
    if (!pattern.match(version).hasMatch())
        return std::nullopt;
    QList<qint64> parts;
    for (const QString &part : version.split(u'.'))
        parts.append(part.toLongLong());
    parts.resize(4, 0);
    return parts;
}

// Packages come over TLS, so that no one on the way learns who updates to what; plain http
// only to this machine, whose traffic never leaves it.
bool isPrivateTransport(const QUrl &url)
{
    if (url.scheme() == QLatin1String("https"))
        return true;
    const QString host = url.host();
    return url.scheme() == QLatin1String("http")
           && (host == QLatin1String("127.0.0.1") || host == QLatin1String("::1")
               || host == QLatin1String("localhost"));
}

// The fields of a feed whose signature has been checked; the first bad one is named.
Reading parse(QByteArrayView body, const QDateTime &now)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return {std::nullopt, QStringLiteral("malformed")};
    const QJsonObject object = document.object();
    const auto bad = [](const char *field) {
        return Reading{std::nullopt, QStringLiteral("bad %1").arg(QLatin1String(field))};
    };

    Update update;
    update.version = object.value(QLatin1String("version")).toString();
    if (!isValidVersion(update.version))
        return bad("version");
    const QUrl url(object.value(QLatin1String("url")).toString(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !isPrivateTransport(url))
        return bad("url");
    update.url = url.toEncoded();
    const QJsonValue size = object.value(QLatin1String("size"));
    update.size = size.toInteger(-1);
    if (!size.isDouble() || update.size <= 0 || update.size > maxPackageBytes)
        return bad("size");
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
    const QString digest = object.value(QLatin1String("sha256")).toString();
    if (!hex.match(digest).hasMatch())
        return bad("sha256");
    update.sha256 = QByteArray::fromHex(digest.toLatin1());
    const auto packageSignature = fromBase64(
        object.value(QLatin1String("packageSignature")).toString().toLatin1(), crypto_sign_BYTES);
    if (!packageSignature)
        return bad("packageSignature");
    update.packageSignature = *packageSignature;
    const QJsonValue notes = object.value(QLatin1String("notes"));
    if (!notes.isString())
        return bad("notes");
    update.notes = notes.toString();
    update.expires =
        QDateTime::fromString(object.value(QLatin1String("expires")).toString(), Qt::ISODate);
    if (!update.expires.isValid())
        return bad("expires");
    if (now >= update.expires)
        return {std::nullopt, QStringLiteral("expired")};
    return {update, QString()};
}

} // namespace

Reading read(QByteArrayView body, const QList<QByteArray> &publicKeys, const QDateTime &now)
{
    // The signature member ends the document: nothing but its base64 value, the closing
    // brace and white space may follow its name.
    const qsizetype at = body.lastIndexOf(signatureKey);
    if (at < 0)
        return {std::nullopt, QStringLiteral("unsigned")};
    static const QRegularExpression trailer(
        QStringLiteral("^\"signature\"\\s*:\\s*\"([A-Za-z0-9+/]{86}==)\"\\s*\\}\\s*$"));
    const QRegularExpressionMatch match = trailer.match(QString::fromLatin1(body.sliced(at)));
    if (!match.hasMatch())
        return {std::nullopt, QStringLiteral("unsigned")};
    const auto signature = fromBase64(match.captured(1).toLatin1(), crypto_sign_BYTES);
    if (!signature || !Ed25519::verify(body.first(at), *signature, publicKeys))
        return {std::nullopt, QStringLiteral("bad signature")};
    return parse(body, now);
}

QByteArray write(const Update &update, const QByteArray &secretKey)
{
    const QJsonObject object{
        {QStringLiteral("version"), update.version},
        {QStringLiteral("url"), QString::fromUtf8(update.url)},
        {QStringLiteral("size"), update.size},
        {QStringLiteral("sha256"), QString::fromLatin1(update.sha256.toHex())},
        {QStringLiteral("packageSignature"),
         QString::fromLatin1(update.packageSignature.toBase64())},
        {QStringLiteral("notes"), update.notes},
        {QStringLiteral("expires"), update.expires.toUTC().toString(Qt::ISODate)},
    };
    QByteArray feed = QJsonDocument(object).toJson(QJsonDocument::Indented);
    feed.truncate(feed.lastIndexOf('}'));
    while (feed.endsWith('\n'))
        feed.chop(1);
    feed += ",\n    ";
    const QByteArray signature = Ed25519::sign(feed, secretKey);
    if (signature.isEmpty())
        return {};
    return feed + signatureKey + ": \"" + signature.toBase64() + "\"\n}\n";
}

bool isValidVersion(const QString &version)
{
    return versionParts(version).has_value();
}

bool isNewer(const QString &candidate, const QString &installed)
{
    const auto newer = versionParts(candidate);
    const auto current = versionParts(installed);
    return newer && current && *newer > *current;
}

bool isPackage(QByteArrayView bytes, const Update &update, const QList<QByteArray> &publicKeys)
{
    return bytes.size() == update.size
           && QCryptographicHash::hash(bytes, QCryptographicHash::Sha256) == update.sha256
           && Ed25519::verify(bytes, update.packageSignature, publicKeys);
}

QList<QByteArray> decodeKeys(QByteArrayView text)
{
    QList<QByteArray> keys;
    for (const QByteArray &part : text.toByteArray().split(',')) {
        if (const auto key = fromBase64(part.trimmed(), crypto_sign_PUBLICKEYBYTES))
            keys.append(*key);
    }
    return keys;
}

QList<QByteArray> builtInKeys()
{
    return decodeKeys(BuildConfig::updatePublicKeys);
}

} // namespace UpdateFeed
