// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <functional>
#include <optional>

// Cumulative byte counters of the machine's network interfaces.
namespace InterfaceCounters {

// One interface's cumulative totals since it came up, as the kernel keeps them (64 bits).
struct Interface
{
    // The kernel's bytes, in no particular encoding: only these find its sysfs folder.
    QByteArray name;
    quint64 received = 0;
    quint64 sent = 0;
    bool operator==(const Interface &) const = default;
};

// The interfaces listed in the text of /proc/net/dev. Lines that are not a well-formed
// interface entry (the two header lines, truncated or garbled lines, names that could
// not be an interface's) are left out.
QList<Interface> parseProcNetDev(QByteArrayView text);

// The interfaces whose traffic counts. Names beginning with "lo" never count. When at least
// one interface is backed by a device, only those count: bridges, tunnels and container or
// VM links carry the same bytes again. Without any (inside a container, say), every other
// interface counts.
QList<Interface> counted(const QList<Interface> &interfaces,
                         const std::function<bool(const QByteArray &name)> &isDeviceBacked);

// Reads procNetDev once and checks <sysfsNet>/<name>/device for each interface.
// An unreadable file gives nothing: an empty list would read as every interface gone.
std::optional<QList<Interface>> snapshot(const QString &procNetDev, const QString &sysfsNet);

// The running system's counted interfaces.
std::optional<QList<Interface>> snapshot();

} // namespace InterfaceCounters
