#include "live/LiveThroughputMonitor.h"

#include "settings/SpeedSettings.h"

#include <QTimer>

#include <utility>

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
    if (const std::optional<InterfaceCounters::Totals> totals = m_snapshot()) {
        m_lastDown = totals->received;
        m_lastUp = totals->sent;
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
    const std::optional<InterfaceCounters::Totals> totals = m_snapshot();
    const Clock::time_point now = m_now();
    if (!totals) {
        // Zeros in its place would make the next reading all the traffic since boot: the
        // next readable snapshot is a fresh baseline instead.
        m_lastAt.reset();
        return;
    }

    // A lower total means an interface went away (or restarted its counters): that
    // interval has no meaningful rate, and the next one measures from the new totals.
    std::optional<std::pair<double, double>> rates;
    if (m_lastAt && totals->received >= m_lastDown && totals->sent >= m_lastUp) {
        const double dt = std::chrono::duration<double>(now - *m_lastAt).count();
        if (dt > 0.5) {
            rates.emplace(static_cast<double>(totals->received - m_lastDown) / dt,
                          static_cast<double>(totals->sent - m_lastUp) / dt);
        }
    }
    m_lastDown = totals->received;
    m_lastUp = totals->sent;
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
