// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/LoadedLatencyProbe.h"

#include "engine/SpeedTestMath.h"
#include "platform/HttpTask.h"

LoadedLatencyProbe::LoadedLatencyProbe(HttpSession::Config http, HttpRequest probe,
                                       LoadedLatencyTiming timing, QObject *parent)
    : QObject(parent)
    , m_request(std::move(probe))
    , m_timing(timing)
    , m_session(std::make_unique<HttpSession>(std::move(http)))
{
    m_next.setSingleShot(true);
    m_next.setTimerType(Qt::PreciseTimer);
    connect(&m_next, &QTimer::timeout, this, &LoadedLatencyProbe::send);
}

LoadedLatencyProbe::~LoadedLatencyProbe()
{
    // The probe in flight goes with the session, without calling back.
    m_session.reset();
}

bool LoadedLatencyProbe::fitsIn(double budgetSeconds) const
{
    return m_timing.interval.count() > 0
           && budgetSeconds > std::chrono::duration<double>(m_timing.skip).count();
}

QCoro::Task<> LoadedLatencyProbe::open()
{
    const std::shared_ptr<HttpTask> task = newTask();
    m_inFlight = task;
    co_await m_session->perform(task);
    if (m_inFlight == task)
        m_inFlight.reset();
}

void LoadedLatencyProbe::start(Clock::time_point phaseStart, std::function<double()> phaseRate)
{
    m_phaseRate = std::move(phaseRate);
    m_probing = true;
    ++m_phaseNumber;
    m_phaseStart = phaseStart;
    m_samples.clear();
    m_sendTimes.clear();
    scheduleAt(phaseStart + m_timing.skip);
}

std::optional<double> LoadedLatencyProbe::stop()
{
    m_probing = false;
    ++m_phaseNumber;
    m_next.stop();
    if (m_inFlight)
        m_inFlight->cancel();
    return SpeedTestMath::medianLatency(m_samples);
}

std::shared_ptr<HttpTask> LoadedLatencyProbe::newTask()
{
    // A probe still cut on its way has its own completion, which finds another one here.
    if (m_inFlight)
        m_inFlight->cancel();
    return m_session->task(m_request);
}

void LoadedLatencyProbe::send()
{
    if (!m_probing || m_inFlight)
        return;
    const std::shared_ptr<HttpTask> task = newTask();
    const HttpTask *key = task.get();
    const quint64 phase = m_phaseNumber;
    m_lastSent = Clock::now();
    m_sendTimes.append(std::chrono::duration<double>(m_lastSent - m_phaseStart).count());
    task->onComplete = [this, key, phase, sent = m_lastSent](const HttpOutcome &outcome) {
        // A probe that opened a connection timed its set-up too.
        answered(key, phase, outcome.ok && outcome.newConnections == 0, sent);
    };
    m_inFlight = task;
    task->start();
}

void LoadedLatencyProbe::answered(const HttpTask *task, quint64 phase, bool timed,
                                  Clock::time_point sent)
{
    // Timed here, when this thread hears of the answer, as the idle probes are.
    const Clock::time_point now = Clock::now();
    if (m_inFlight.get() == task)
        m_inFlight.reset();
    if (!m_probing || phase != m_phaseNumber)
        return;
    if (timed)
        m_samples.append(std::chrono::duration<double, std::milli>(now - sent).count());
    scheduleAt(std::max(now, m_lastSent + interval()));
}

LoadedLatencyProbe::Clock::duration LoadedLatencyProbe::interval() const
{
    const double rate = m_phaseRate ? m_phaseRate() : 0;
    const auto least = std::chrono::duration<double>(
        rate > 0 ? m_timing.probeBytes / (m_timing.linkShare * rate) : 0);
    return std::max<Clock::duration>(m_timing.interval,
                                     std::chrono::duration_cast<Clock::duration>(least));
}

void LoadedLatencyProbe::scheduleAt(Clock::time_point when)
{
    if (m_timing.interval.count() <= 0)
        return;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
    m_next.start(std::max(wait, std::chrono::milliseconds(0)));
}

// Compiled here so that a program using the engine links none of the widgets.
#include "moc_LoadedLatencyProbe.cpp"
