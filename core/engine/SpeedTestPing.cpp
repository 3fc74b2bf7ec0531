// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/SpeedTestEngine.h"

#include "engine/SpeedTestMath.h"
#include "platform/HttpSession.h"

QCoro::Task<std::optional<double>> SpeedTestEngine::measurePing()
{
    m_phase = Phase::ping;
    if (onProgress)
        onProgress(Phase::ping, 0.0);

    QList<double> samples;
    // The probes over a connection already open, whose times vary only with the link's.
    QList<double> overOpenConnection;
    for (int probe = 0; probe < latencyProbes; ++probe) {
        if (m_cancelled)
            co_return std::nullopt;
        // Every probe is timed alike, the first one with its connection set-up included,
        // up to the moment this code runs again.
        const Clock::time_point sent = Clock::now();
        const HttpOutcome outcome = co_await session().perform(probeRequest());
        // An answer with an error status is timed like any other, and tells what failed.
        if (!outcome.ok || !outcome.isSuccessStatus())
            noteFailure(outcome);
        if (outcome.ok)
            samples.append(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        if (outcome.ok && outcome.newConnections == 0)
            overOpenConnection.append(samples.constLast());
    }
    m_latencies.jitter = Responsiveness::jitter(overOpenConnection);
    co_return SpeedTestMath::medianLatency(std::move(samples));
}

HttpRequest SpeedTestEngine::probeRequest() const
{
    HttpRequest request;
    request.method = QByteArrayLiteral("HEAD");
    request.url = url("/__down?bytes=0");
    request.timeout = m_config.pingTimeout;
    // A probe moves no body, so its whole time is the bound: curl's inactivity check counts
    // whole seconds, and would let a probe that never answers run past a shorter time-out.
    request.deadline = m_config.pingTimeout;
    return request;
}
