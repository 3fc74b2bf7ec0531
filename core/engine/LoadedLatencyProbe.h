// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/HttpSession.h"

#include <QList>
#include <QObject>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class HttpTask;

// When the probes of a loaded phase go out.
struct LoadedLatencyTiming
{
    // The time from one probe's sending to the next one's; a probe slower than that is
    // followed at once, never overlapped. Zero sends no probe at all.
    std::chrono::milliseconds interval{250};
    // The start of a phase, while its transfers are still in slow start, goes untimed.
    std::chrono::milliseconds skip{1000};
    // What one probe and its answer take of the link, TCP and TLS headers included: below
    // 1.6 Mbit/s the probes go out less often, so that together they take no more than
    // linkShare of what the phase moves (the rate stays the link's), and still often enough
    // for a 5 s phase at 1 Mbit/s to have the three answers a value needs.
    double probeBytes = 500;
    double linkShare = 0.01;
};

// Times small requests while a throughput phase loads the link: how long an answer waits
// behind the data the phase queues along the way. The probes go over a connection of their
// own, opened before the phase starts, so that they never wait behind the phase's transfers
// on the same connection or, with HTTP/2, among its streams. A probe that fails, or that
// had to open a connection again, gives no time; nothing here ever fails a test.
class LoadedLatencyProbe : public QObject
{
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;

    // probe: the request to time, sent as is every time.
    LoadedLatencyProbe(HttpSession::Config http, HttpRequest probe, LoadedLatencyTiming timing,
                       QObject *parent = nullptr);
    ~LoadedLatencyProbe() override;

    // Whether a phase of this many seconds leaves time for a probe after its start.
    bool fitsIn(double budgetSeconds) const;
    // Opens the connection, or checks that it is still open, with one probe that is not
    // timed; over when that one is answered or has failed.
    QCoro::Task<> open();
    // Sends the phase's probes, the first one timing.skip after phaseStart, until stop();
    // phaseRate gives what the phase has moved so far, in bytes per second.
    void start(Clock::time_point phaseStart, std::function<double()> phaseRate = {});
    // Ends the phase's probing, cutting the probe in flight (the opening one too), which
    // is dropped. The median of the answered probes' times in milliseconds; absent with
    // fewer than three.
    std::optional<double> stop();

    bool isProbing() const { return m_probing; }
    // The times of the answered probes of the current or last phase, in milliseconds, in
    // the order they were sent.
    const QList<double> &samples() const { return m_samples; }
    // When each probe of the current or last phase went out, in seconds since its start.
    const QList<double> &sendTimes() const { return m_sendTimes; }

private:
    void send();
    void answered(const HttpTask *task, quint64 phase, bool timed, Clock::time_point sent);
    void scheduleAt(Clock::time_point when);
    Clock::duration interval() const;
    std::shared_ptr<HttpTask> newTask();

    HttpRequest m_request;
    LoadedLatencyTiming m_timing;
    std::unique_ptr<HttpSession> m_session;
    std::shared_ptr<HttpTask> m_inFlight;
    QTimer m_next;
    bool m_probing = false;
    // Tells this phase's probes from those of an earlier one still on their way.
    quint64 m_phaseNumber = 0;
    Clock::time_point m_phaseStart;
    std::function<double()> m_phaseRate;
    Clock::time_point m_lastSent;
    QList<double> m_samples;
    QList<double> m_sendTimes;
};
