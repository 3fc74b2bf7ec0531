// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/SystemInfo.h"

#include "platform/BuildConfig.h"

#include <QFile>
#include <QSysInfo>

namespace {

// An os-release value: shell-like, either bare or in single or double quotes, where a
// backslash keeps the next character inside double quotes.
QString unquote(QStringView value)
{
    if (value.isEmpty() || (value.front() != u'"' && value.front() != u'\''))
        return value.trimmed().toString();
    const QChar quote = value.front();
    QString text;
    for (qsizetype i = 1; i < value.size() && value[i] != quote; ++i) {
        if (quote == u'"' && value[i] == u'\\' && i + 1 < value.size())
            ++i;
        text += value[i];
    }
    return text;
}

} // namespace

namespace SystemInfo {

QByteArray serviceUrl(const QString &origin, const QString &path)
{
    QString url = origin.isEmpty() ? QString::fromUtf8(BuildConfig::serviceOrigin) : origin;
    while (url.endsWith(u'/'))
        url.chop(1);
    return (url + path).toUtf8();
}

QString versionText()
{
    return QString::fromUtf8(BuildConfig::version);
}

QString osText()
{
    return osText({QStringLiteral("/etc/os-release"), QStringLiteral("/usr/lib/os-release")});
}

QString osText(const QStringList &osReleaseFiles)
{
    for (const QString &path : osReleaseFiles) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        // A system that leaves NAME out is "Linux" by the file's own rules.
        QString name = QStringLiteral("Linux");
        QString version;
        // The file is a few hundred bytes; what lies past 64 KiB is not os-release.
        for (const QByteArray &line : file.read(64 * 1024).split('\n')) {
            const QString text = QString::fromUtf8(line).trimmed();
            if (text.startsWith(u"NAME="))
                name = unquote(QStringView(text).sliced(5));
            else if (text.startsWith(u"VERSION_ID="))
                version = unquote(QStringView(text).sliced(11));
        }
        return version.isEmpty() ? name : name + u' ' + version;
    }
    return QStringLiteral("Linux ") + QSysInfo::kernelVersion();
}

} // namespace SystemInfo
