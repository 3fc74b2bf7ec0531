// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/InterfaceCounters.h"

#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class QTimer;

// Samples the interface byte counters every 2 seconds and hands the download and upload
// rates, in bytes per second, to a single subscriber.
class LiveThroughputMonitor : public QObject
{
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;
    // The counted interfaces, or nothing when the counters cannot be read.
    using SnapshotSource = std::function<std::optional<QList<InterfaceCounters::Interface>>()>;
    using TimeSource = std::function<Clock::time_point()>;

    static constexpr std::chrono::milliseconds defaultInterval{2000};

    // The monitor of the running system's interfaces.
    static LiveThroughputMonitor &shared();

    // Empty sources stand for the system's counters and steady clock.
    explicit LiveThroughputMonitor(SnapshotSource snapshot = {}, TimeSource now = {},
                                   std::chrono::milliseconds interval = defaultInterval,
                                   QObject *parent = nullptr);
    ~LiveThroughputMonitor() override;

    // Called with (download, upload) in bytes per second after each measured interval.
    std::function<void(double down, double up)> onSample;

    bool isRunning() const { return m_timer != nullptr; }
    // Takes the baseline snapshot and starts the timer; nothing when already running.
    void start();
    // Harmless when stopped; the subscriber stays.
    void stop();

    // A few characters for a rate: "0k", "999k", "1,5M", "12M".
    static QString compact(double rate);

private:
    void sample();

    SnapshotSource m_snapshot;
    TimeSource m_now;
    std::chrono::milliseconds m_interval;
    QTimer *m_timer = nullptr;
    QList<InterfaceCounters::Interface> m_last;
    std::optional<Clock::time_point> m_lastAt;
};
