// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/InterfaceCounters.h"

#include <QFile>

#include <sys/stat.h>

namespace InterfaceCounters {

std::optional<QList<Interface>> snapshot(const QString &procNetDev, const QString &sysfsNet)
{
    QFile file(procNetDev);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // procfs files report a size of zero: readAll() reads on to the end regardless.
    const QByteArray text = file.readAll();
    const QByteArray folder = QFile::encodeName(sysfsNet) + '/';
    return counted(parseProcNetDev(text), [&folder](const QByteArray &name) {
        // The name's own bytes: decoded and encoded again, a name that is not ASCII would
        // point to another folder.
        struct stat info;
        return ::stat((folder + name + "/device").constData(), &info) == 0;
    });
}

std::optional<QList<Interface>> snapshot()
{
    return snapshot(QStringLiteral("/proc/net/dev"), QStringLiteral("/sys/class/net"));
}

} // namespace InterfaceCounters
