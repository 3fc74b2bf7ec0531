// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/SpeedTestEngine.h"

#include "engine/LoadedLatencyProbe.h"
#include "engine/ThroughputStreams.h"
#include "platform/HttpSession.h"
#include "platform/HttpTask.h"
#include "settings/SpeedHistory.h"

#include <QTimer>

SpeedTestEngine::SpeedTestEngine(Config config, QObject *parent)
    : QObject(parent)
    , m_config(std::move(config))
{}

SpeedTestEngine::~SpeedTestEngine()
{
    stopTicker();
    // Transfers still running go with the session, without calling back into this engine.
    m_loadedLatency.reset();
    m_session.reset();
    m_downloadSession.reset();
}

SpeedTestEngine &SpeedTestEngine::shared()
{
    static auto *engine = new SpeedTestEngine;
    return *engine;
}

void SpeedTestEngine::start()
{
    if (m_running)
        return;
    m_running = true;
    m_cancelled = false;
    m_lastRequestCut = false;
    m_streamsDown = m_streamsUp = 0;
    m_downMbps = 0;
    m_pingMs = 0;
    m_reports = {};
    m_latencies = {};
    QTimer::singleShot(0, this, [this] { run(); });
}

void SpeedTestEngine::cancel()
{
    if (!m_running)
        return;
    m_cancelled = true;
    if (m_drainProbe)
        m_drainProbe->cancel();
    if (m_loadedLatency)
        m_loadedLatency->stop();
    if (m_streams)
        m_streams->stop();
}

int SpeedTestEngine::streams(Phase phase) const
{
    return phase == Phase::download ? m_streamsDown : phase == Phase::upload ? m_streamsUp : 0;
}

int SpeedTestEngine::requestsInFlight() const
{
    return m_streams ? m_streams->inFlight() : 0;
}

QCoro::Task<> SpeedTestEngine::run()
{
    const std::optional<double> ping = co_await measurePing();
    if (!ping || m_cancelled) {
        finish(std::nullopt);
        co_return;
    }
    m_pingMs = *ping;
    const double down =
        m_config.measureDownload ? co_await measureThroughput(Phase::download) : 0.0;
    if (m_cancelled) {
        finish(std::nullopt);
        co_return;
    }
    const double up = m_config.measureUpload ? co_await measureThroughput(Phase::upload) : 0.0;
    if (m_cancelled) {
        finish(std::nullopt);
        co_return;
    }
    if (down > 0 || up > 0) {
        const Result result(
            Result::now(), down, up, *ping, m_latencies,
            {m_reports[size_t(Phase::download)].bytes, m_reports[size_t(Phase::upload)].bytes});
        SpeedHistory::add(result);
        finish(result);
    } else {
        finish(std::nullopt);
    }
}

void SpeedTestEngine::finish(std::optional<Result> result)
{
    stopTicker();
    m_phase = Phase::idle;
    m_running = false;
    if (onFinished)
        onFinished(result);
}

HttpSession &SpeedTestEngine::session()
{
    if (!m_session)
        m_session = std::make_unique<HttpSession>(m_config.http);
    return *m_session;
}

HttpSession &SpeedTestEngine::downloadSession()
{
    if (!m_downloadSession)
        m_downloadSession = std::make_unique<HttpSession>(m_config.http);
    return *m_downloadSession;
}

LoadedLatencyProbe &SpeedTestEngine::loadedLatency()
{
    if (!m_loadedLatency)
        m_loadedLatency = std::make_unique<LoadedLatencyProbe>(m_config.http, probeRequest(),
                                                               m_config.loadedLatency);
    return *m_loadedLatency;
}

QCoro::Task<bool> SpeedTestEngine::prepareLoadedLatency(double budget)
{
    if (m_cancelled || !loadedLatency().fitsIn(budget))
        co_return false;
    co_await loadedLatency().open();
    co_return !m_cancelled;
}

void SpeedTestEngine::noteLoadedLatency(Phase phase)
{
    const std::optional<double> median = loadedLatency().stop();
    (phase == Phase::download ? m_latencies.loadedDown : m_latencies.loadedUp) = median;
}

QByteArray SpeedTestEngine::url(const char *path) const
{
    return m_config.host.toUtf8() + path;
}

bool SpeedTestEngine::StreamsAwaiter::await_ready() const noexcept
{
    return streams->finished();
}

void SpeedTestEngine::StreamsAwaiter::await_suspend(std::coroutine_handle<> awaiting)
{
    streams->onFinished = [awaiting] { awaiting.resume(); };
}

void SpeedTestEngine::noteFailure(const HttpOutcome &outcome)
{
    if (outcome.cancelled)
        return;
    if (m_phase != Phase::idle)
        m_reports[size_t(m_phase)].failure = outcome;
}

void SpeedTestEngine::startTicker()
{
    stopTicker();
    m_ticker = new QTimer(this);
    m_ticker->setInterval(tickInterval);
    connect(m_ticker, &QTimer::timeout, this, &SpeedTestEngine::tick);
    m_ticker->start();
    // The deadline is kept to the millisecond, not to the next tick: nothing after it counts.
    const auto untilDeadline =
        std::chrono::ceil<std::chrono::milliseconds>(m_phaseDeadline - Clock::now());
    QTimer::singleShot(std::max(untilDeadline, std::chrono::milliseconds(0)), Qt::PreciseTimer,
                       m_ticker, [this] { cutAtDeadline(); });
}

void SpeedTestEngine::stopTicker()
{
    delete std::exchange(m_ticker, nullptr);
}

void SpeedTestEngine::tick()
{
    if (!isThroughputPhase(m_phase))
        return;
    const Clock::time_point now = Clock::now();
    if (now >= m_phaseDeadline)
        cutAtDeadline();
    else
        countInFlight();
    const double elapsed = phaseSeconds(now);
    m_levelled.add(elapsed, m_phaseBytes);
    if (elapsed > firstReportSeconds && onProgress)
        onProgress(m_phase, double(m_phaseBytes) * 8.0 / elapsed / 1000000.0);
}

double SpeedTestEngine::phaseSeconds(Clock::time_point now) const
{
    return std::chrono::duration<double>(now - m_phaseStart).count();
}

void SpeedTestEngine::countInFlight()
{
    if (m_streams)
        m_phaseBytes = m_streams->bytes();
}

void SpeedTestEngine::cutAtDeadline()
{
    // Counted first: a cancelled task counts nothing acknowledged after its cancellation.
    countInFlight();
    if (m_streams)
        m_streams->stop();
}

// Compiled here rather than with every other class of the library, so that a program
// using the engine does not link the widgets.
#include "moc_SpeedTestEngine.cpp"
