#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringView>

#include <functional>
#include <optional>

// Cumulative byte counters of the machine's network interfaces.
namespace InterfaceCounters {

// One interface's cumulative totals since it came up, as the kernel keeps them (64 bits).
struct Interface
{
    QString name;
    quint64 received = 0;
    quint64 sent = 0;
};

// Received and sent bytes summed over the counted interfaces.
struct Totals
{
    quint64 received = 0;
    quint64 sent = 0;
    bool operator==(const Totals &) const = default;
};

// The interfaces listed in the text of /proc/net/dev. Lines that are not a well-formed
// interface entry (the two header lines, truncated or garbled lines, names that could
// not be an interface's) are left out.
QList<Interface> parseProcNetDev(QByteArrayView text);

// Names beginning with "lo" never count. When at least one interface is backed by a
// device, only those count: bridges, tunnels and container or VM links carry the same
// bytes again. Without any (inside a container, say), every other interface counts.
Totals countedTotals(const QList<Interface> &interfaces,
                     const std::function<bool(const QString &name)> &isDeviceBacked);

// Reads procNetDev once and checks <sysfsNet>/<name>/device for each interface.
// An unreadable file gives no totals: zeros would read as every counter restarting.
std::optional<Totals> snapshot(const QString &procNetDev, const QString &sysfsNet);

// The running system's totals.
std::optional<Totals> snapshot();

} // namespace InterfaceCounters
