#include "platform/InterfaceCounters.h"

#include <QFile>
#include <QFileInfo>

namespace InterfaceCounters {

std::optional<Totals> snapshot(const QString &procNetDev, const QString &sysfsNet)
{
    QFile file(procNetDev);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // procfs files report a size of zero: readAll() reads on to the end regardless.
    const QByteArray text = file.readAll();
    return countedTotals(parseProcNetDev(text), [&sysfsNet](const QString &name) {
        return QFileInfo::exists(sysfsNet + u'/' + name + QLatin1String("/device"));
    });
}

std::optional<Totals> snapshot()
{
    return snapshot(QStringLiteral("/proc/net/dev"), QStringLiteral("/sys/class/net"));
}

} // namespace InterfaceCounters
