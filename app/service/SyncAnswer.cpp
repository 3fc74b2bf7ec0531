// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/SyncAnswer.h"

#include "update/Ed25519.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <sodium.h>

#include <cmath>

namespace {

// A JSON number without a fraction that fits in 64 bits; 7.5 or 1e30 is not one.
std::optional<qint64> integerOf(const QJsonValue &value)
{
    const QVariant variant = value.toVariant();
    if (variant.typeId() != QMetaType::LongLong)
        return std::nullopt;
    return variant.toLongLong();
}

bool verify(const QByteArray &message, const QString &signatureText, const QByteArray &publicKey)
{
    // A character outside Latin-1 becomes "?", which no base64 decodes.
    const QByteArray encoded = signatureText.toLatin1();
    unsigned char signature[crypto_sign_BYTES];
    size_t length = 0;
    if (sodium_base642bin(signature, sizeof signature, encoded.constData(), size_t(encoded.size()),
                          nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL)
            != 0
        || length != sizeof signature)
        return false;
    return Ed25519::verify(message, QByteArrayView(signature, qsizetype(length)), {publicKey});
}

} // namespace

std::optional<SyncAnswer::Message> SyncAnswer::decode(const QByteArray &body, const QString &nonce,
                                                      const QByteArray &publicKey, double now)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject answer = document.object();
    const QJsonValue n = answer.value(QLatin1String("n"));
    const QJsonValue msg = answer.value(QLatin1String("msg"));
    const QJsonValue sig = answer.value(QLatin1String("sig"));
    const std::optional<qint64> ts = integerOf(answer.value(QLatin1String("ts")));
    const std::optional<qint64> mid = integerOf(answer.value(QLatin1String("mid")));
    if (!n.isString() || !msg.isString() || !sig.isString() || !ts || !mid)
        return std::nullopt;
    if (n.toString() != nonce)
        return std::nullopt;
    const QByteArray signedText = nonce.toUtf8() + '\n' + QByteArray::number(*ts) + '\n'
                                  + QByteArray::number(*mid) + '\n' + msg.toString().toUtf8();
    if (!verify(signedText, sig.toString(), publicKey))
        return std::nullopt;
    if (!(std::abs(now - double(*ts)) < maxSkewSeconds))
        return std::nullopt;
    return Message{*mid, msg.toString()};
}
