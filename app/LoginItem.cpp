// SPDX-License-Identifier: GPL-3.0-or-later
#include "LoginItem.h"

#include "platform/BuildConfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// The program as one argument of an Exec line: quoted when it holds a character the line
// reserves. Quoting puts a backslash before " ` $ and \, and the string escapes of a desktop
// entry then double every backslash (so a literal one is written as four); "%" is doubled
// since it starts a field code.
QString execArgument(const QString &path)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString escaped = path;
    escaped.replace(u'%', QStringLiteral("%%"));
    if (std::none_of(path.cbegin(), path.cend(), [](QChar c) { return reserved.contains(c); }))
        return escaped;
    QString quoted;
    for (const QChar c : std::as_const(escaped)) {
        if (c == u'\\')
            quoted += QStringLiteral("\\\\\\\\");
        else if (c == u'\n' || c == u'\t')
            quoted += c == u'\n' ? QStringLiteral("\\n") : QStringLiteral("\\t");
        else if (c == u'"' || c == u'`' || c == u'$')
            quoted += QStringLiteral("\\\\") + c;
        else
            quoted += c;
    }
    return u'"' + quoted + u'"';
}

} // namespace

namespace LoginItem {

QString filePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/autostart/") + QLatin1String(BuildConfig::appId)
           + QStringLiteral(".desktop");
}

bool isEnabled()
{
    QFile file(filePath());
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    bool inEntry = false;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.startsWith('[')) {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (!inEntry || equals < 0)
            continue;
        const QByteArray key = line.first(equals).trimmed();
        const QByteArray value = line.sliced(equals + 1).trimmed();
        if ((key == "Hidden" && value == "true")
            || (key == "X-GNOME-Autostart-enabled" && value == "false"))
            return false;
    }
    return true;
}

std::optional<QString> registerItem(const QString &executable)
{
    const QString path = filePath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return QStringLiteral("cannot create the folder %1").arg(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return file.errorString();
    const QString entry =
        QStringLiteral("[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=Tachora\n"
                       "Comment=Mesure le débit de ta connexion\n"
                       "Exec=%1\n"
                       "Icon=%2\n"
                       "Terminal=false\n"
                       "X-GNOME-Autostart-enabled=true\n"
                       // LXQt waits for its panel, so that the tray item has a tray.
                       "X-LXQt-Need-Tray=true\n")
            .arg(execArgument(executable), QLatin1String(BuildConfig::appId));
    file.write(entry.toUtf8());
    if (!file.commit())
        return file.errorString();
    return std::nullopt;
}

std::optional<QString> unregisterItem()
{
    QFile file(filePath());
    if (!QFileInfo::exists(file.fileName()) || file.remove())
        return std::nullopt;
    return file.errorString();
}

} // namespace LoginItem
