// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/LiveThroughputMonitor.h"

#include "settings/SpeedSettings.h"

#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

using InterfaceCounters::Interface;

// The bytes received and sent between two snapshots, taken interface by interface: when the
// set of counted interfaces changes (an adapter unplugged, the count falling back to every
// virtual link), summed totals would jump by whole counters. An interface that is new, or
// whose counters went down because it was created again, adds nothing. Nothing when no
// interface could be compared at all: that interval has no meaningful rate.
std::optional<std::pair<quint64, quint64>> moved(const QList<Interface> &before,
                                                 const QList<Interface> &after)
{
    quint64 down = 0;
    quint64 up = 0;
    bool compared = after.isEmpty();
    for (const Interface &now : after) {
        const auto then = std::find_if(before.begin(), before.end(), [&now](const Interface &old) {
            return old.name == now.name;
        });
        if (then == before.end() || now.received < then->received || now.sent < then->sent)
            continue;
        compared = true;
        down += now.received - then->received;
        up += now.sent - then->sent;
    }
    if (!compared)
        return std::nullopt;
    return std::pair(down, up);
}

} // namespace

LiveThroughputMonitor &LiveThroughputMonitor::shared()
{
    static LiveThroughputMonitor monitor;
    return monitor;
}

LiveThroughputMonitor::LiveThroughputMonitor(SnapshotSource snapshot, TimeSource now,
                                             std::chrono::milliseconds interval, QObject *parent)
    : QObject(parent)
    , m_snapshot(snapshot ? std::move(snapshot) : [] { return InterfaceCounters::snapshot(); })
    , m_now(now ? std::move(now) : [] { return Clock::now(); })
    , m_interval(interval)
{}

LiveThroughputMonitor::~LiveThroughputMonitor() = default;

void LiveThroughputMonitor::start()
{
    if (m_timer)
        return;
    if (std::optional<QList<Interface>> interfaces = m_snapshot()) {
        m_last = std::move(*interfaces);
        m_lastAt = m_now();
    }

    // A child of the monitor: it dies with it and never calls into a destroyed monitor.
    m_timer = new QTimer(this);
    m_timer->setTimerType(Qt::CoarseTimer);
    m_timer->setInterval(m_interval);
    connect(m_timer, &QTimer::timeout, this, &LiveThroughputMonitor::sample);
    m_timer->start();
}

void LiveThroughputMonitor::stop()
{
    if (m_timer) {
        m_timer->stop();
        // The subscriber may stop the monitor from inside a tick.
        m_timer->deleteLater();
    }
    m_timer = nullptr;
    m_lastAt.reset();
}

void LiveThroughputMonitor::sample()
{
    std::optional<QList<Interface>> interfaces = m_snapshot();
    const Clock::time_point now = m_now();
    if (!interfaces) {
        // The next readable snapshot is a fresh baseline.
        m_lastAt.reset();
        return;
    }

    std::optional<std::pair<double, double>> rates;
    if (m_lastAt) {
        const double dt = std::chrono::duration<double>(now - *m_lastAt).count();
        const auto bytes = dt > 0.5 ? moved(m_last, *interfaces) : std::nullopt;
        if (bytes)
            rates.emplace(static_cast<double>(bytes->first) / dt,
                          static_cast<double>(bytes->second) / dt);
    }
    m_last = std::move(*interfaces);
    m_lastAt = now;
    if (!rates || !onSample)
        return;
    // Called last and through a copy: the subscriber may stop the monitor or replace
    // itself while it runs.
    const auto subscriber = onSample;
    subscriber(rates->first, rates->second);
}

QString LiveThroughputMonitor::compact(double rate)
{
    const double m = rate / 1'000'000;
    if (m >= 10)
        return SpeedSettings::fixed(m, 0) + u'M';
    if (m >= 1)
        return SpeedSettings::fixed(m, 1) + u'M';
    double k = rate / 1000;
    // Also folds NaN and -0 into "0k".
    if (!(k > 0))
        k = 0;
    return SpeedSettings::fixed(k, 0) + u'k';
}
