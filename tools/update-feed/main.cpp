// SPDX-License-Identifier: GPL-3.0-or-later
// tachora-update-feed: the release side of the updater.
//
//   tachora-update-feed keygen SECRET_FILE
//       writes a new secret key (base64, readable by its owner only) and prints the public
//       key, for -DTACHORA_UPDATE_PUBLIC_KEYS.
//   tachora-update-feed sign SECRET_FILE PACKAGE URL VERSION NOTES_FILE DAYS
//       prints the feed for PACKAGE, published at URL, valid for DAYS days.

#include "Ed25519.h"
#include "UpdateFeed.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>

#include <cstdio>

namespace {

int fail(const QString &message)
{
    std::fprintf(stderr, "tachora-update-feed: %s\n", qPrintable(message));
    return 1;
}

std::optional<QByteArray> readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

int keygen(const QString &path)
{
    const Ed25519::KeyPair keys = Ed25519::newKeyPair();
    const QByteArray text = keys.secretKey.toBase64() + '\n';
    QFile file(path);
    // Created private, never over a key the updater already trusts; the public key is printed
    // only once the secret one is safely on disk.
    if (keys.secretKey.isEmpty()
        || !file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                      QFile::ReadOwner | QFile::WriteOwner)
        || file.write(text) != text.size() || !file.flush())
        return fail(QStringLiteral("cannot write a new key to %1").arg(path));
    std::printf("%s\n", keys.publicKey.toBase64().constData());
    return 0;
}

int sign(const QStringList &arguments)
{
    const auto secret = readFile(arguments[0]);
    const auto package = readFile(arguments[1]);
    const auto notes = readFile(arguments[4]);
    bool daysOk = false;
    const int days = arguments[5].toInt(&daysOk);
    if (!secret || !package || !notes || !daysOk || days <= 0)
        return fail(QStringLiteral("cannot read the key, package or notes, or bad DAYS"));
    const QByteArray secretKey = QByteArray::fromBase64(secret->trimmed());
    const UpdateFeed::Update update{arguments[3],
                                    arguments[2].toUtf8(),
                                    package->size(),
                                    QCryptographicHash::hash(*package, QCryptographicHash::Sha256),
                                    Ed25519::sign(*package, secretKey),
                                    QString::fromUtf8(notes->trimmed()),
                                    QDateTime::currentDateTimeUtc().addDays(days)};
    if (!UpdateFeed::isValidVersion(update.version))
        return fail(QStringLiteral("VERSION must be one to four numbers separated by dots"));
    const QByteArray feed = UpdateFeed::write(update, secretKey);
    if (feed.isEmpty())
        return fail(QStringLiteral("%1 holds no secret key").arg(arguments[0]));
    std::fwrite(feed.constData(), 1, size_t(feed.size()), stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.size() == 2 && arguments[0] == QLatin1String("keygen"))
        return keygen(arguments[1]);
    if (arguments.size() == 7 && arguments[0] == QLatin1String("sign"))
        return sign(arguments.mid(1));
    std::fprintf(stderr, "usage: tachora-update-feed keygen SECRET_FILE\n"
                         "       tachora-update-feed sign SECRET_FILE PACKAGE URL VERSION "
                         "NOTES_FILE DAYS\n");
    return 2;
}
