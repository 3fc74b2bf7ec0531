// SPDX-License-Identifier: GPL-3.0-or-later
#include "diagnostics/PendingCrash.h"

#include "diagnostics/FatalHandlers.h"

#include <QFile>

#include <cstdio>
#include <sys/stat.h>

namespace {

// A record of ours is a few KiB and always fits; of anything larger, this is more than
// the service takes.
constexpr qint64 readLimit = 256 * 1024;

// Whether the partial file holds a whole record: it ends with the record's last piece.
bool isWhole(const QString &path)
{
    const QByteArray end =
        QByteArray(FatalHandlers::recordSeparator) + QByteArray(FatalHandlers::recordEnd);
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.size() >= end.size()
           && file.seek(file.size() - end.size()) && file.read(end.size()) == end;
}

} // namespace

std::optional<PendingCrash> PendingCrash::read(const QString &path)
{
    const QString partial = path + QStringLiteral(".new");
    if (QFile::exists(partial)) {
        // A crash writes its record there last: it is newer than any pending one.
        if (isWhole(partial))
            ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(path).constData());
        QFile::remove(partial);
    }

    QFile file(path);
    const std::optional<FileIdentity> identity = identityOf(path);
    if (!identity || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.read(readLimit);
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    PendingCrash pending = parse(bytes);
    pending.m_path = path;
    pending.m_identity = *identity;
    return pending;
}

PendingCrash PendingCrash::parse(const QByteArray &bytes)
{
    const QString text = QString::fromUtf8(bytes);
    const QLatin1StringView separator(FatalHandlers::recordSeparator);
    PendingCrash pending;
    const qsizetype cut = text.indexOf(separator);
    if (cut < 0) {
        pending.m_message = text;
        return pending;
    }
    const QString rest = text.mid(cut + separator.size());
    pending.m_message = text.left(cut);
    pending.m_stack = rest.left(rest.indexOf(separator));
    return pending;
}

void PendingCrash::remove() const
{
    if (!FatalHandlers::recordStarted() && identityOf(m_path) == m_identity)
        QFile::remove(m_path);
}

std::optional<PendingCrash::FileIdentity> PendingCrash::identityOf(const QString &path)
{
    struct stat info
    {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return FileIdentity{info.st_dev, info.st_ino, info.st_size,
                        qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}
