#include "engine/SpeedTestEngine.h"

#include "engine/SpeedTestMath.h"
#include "platform/HttpSession.h"
#include "platform/HttpTask.h"

#include <QPointer>

#include <sys/random.h>

const QByteArray &SpeedTestEngine::uploadChunk()
{
    static const QByteArray chunk = [] {
        // Zeros stay where the system's random source fails.
        QByteArray bytes(uploadChunkBytes, '\0');
        qsizetype filled = 0;
        while (filled < bytes.size()) {
            const ssize_t got = getrandom(bytes.data() + filled, size_t(bytes.size() - filled), 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            filled += got;
        }
        return bytes;
    }();
    return chunk;
}

std::shared_ptr<HttpTask> SpeedTestEngine::throughputTask(Phase phase, qint64 size)
{
    HttpRequest request;
    if (phase == Phase::download) {
        request.url = url("/__down?bytes=") + QByteArray::number(size);
        request.timeout = m_config.downloadTimeout;
    } else {
        request.method = QByteArrayLiteral("POST");
        request.url = url("/__up");
        request.timeout = m_config.uploadTimeout;
        request.body = uploadChunk();
    }
    return engineTask(std::move(request));
}

std::shared_ptr<HttpTask> SpeedTestEngine::engineTask(HttpRequest request)
{
    std::shared_ptr<HttpTask> task = session().task(std::move(request));
    const QPointer<SpeedTestEngine> engine(this);
    const HttpTask *key = task.get();
    // Only the measurement counts: a download's body when the answer is a success, never
    // an error page, and never the body of an answer to an upload.
    task->onReceive = [engine, key](QByteArrayView chunk) {
        if (engine && engine->m_phase == Phase::download
            && HttpOutcome::isSuccessStatus(key->status()))
            engine->m_phaseBytes += chunk.size();
    };
    task->onComplete = [engine, key](const HttpOutcome &outcome) {
        if (engine)
            engine->taskCompleted(key, outcome);
    };
    return task;
}

QCoro::Task<double> SpeedTestEngine::measureThroughput(Phase phase)
{
    m_phase = phase;
    m_phaseBytes = m_settledBytes = 0;
    if (phase == Phase::upload) {
        // Made before the clock starts: filling it takes tens of milliseconds the first time.
        uploadChunk();
        // A download cut in flight leaves its data queued at the link's bottleneck, ahead
        // of anything sent now, for up to a second on a slow link: answers to the upload
        // would wait behind it, and a sender waiting for them times out and starts over.
        // A probe's answer comes once that has drained, on a connection then ready, so
        // that neither counts in the upload's time.
        if (m_lastRequestCut && !m_cancelled) {
            const std::shared_ptr<HttpTask> probe = engineTask(probeRequest());
            co_await runTask(probe.get());
        }
    }
    const double budget =
        phase == Phase::download ? m_config.downloadBudget : m_config.uploadBudget;
    const bool probingLatency = co_await prepareLoadedLatency(budget);
    m_phaseStart = Clock::now();
    m_phaseDeadline =
        m_phaseStart
        + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(budget));
    startTicker();
    if (probingLatency)
        loadedLatency().start(m_phaseStart);

    // A fast link may move every size in a fraction of a second: what it moved is the
    // measure, however short it took.
    bool ranOutOfSteps = false;
    if (phase == Phase::download) {
        ranOutOfSteps = !m_config.downloadSteps.isEmpty();
        for (const qint64 size : std::as_const(m_config.downloadSteps)) {
            if (m_cancelled || Clock::now() >= m_phaseDeadline) {
                ranOutOfSteps = false;
                break;
            }
            const qint64 before = m_phaseBytes;
            const std::shared_ptr<HttpTask> task = throughputTask(phase, size);
            co_await runTask(task.get());
            m_lastRequestCut = !task->outcome().ok;
            if (task->outcome().ok && !task->outcome().isSuccessStatus())
                noteFailure(task->outcome());
            if (m_phaseBytes == before) {
                ranOutOfSteps = false;
                break;
            }
        }
    } else {
        while (!m_cancelled && Clock::now() < m_phaseDeadline) {
            m_settledBytes = m_phaseBytes;
            const std::shared_ptr<HttpTask> task = throughputTask(phase, 0);
            co_await runTask(task.get());
            m_lastRequestCut = !task->outcome().ok;
            // An upload answered with an error status was refused, whatever went out.
            const HttpOutcome &outcome = task->outcome();
            const bool refused = outcome.status != 0 && !outcome.isSuccessStatus();
            if (refused)
                noteFailure(outcome);
            const qint64 moved = refused ? 0 : task->bodyBytesAcknowledged();
            m_phaseBytes = m_settledBytes + moved;
            if (moved == 0)
                break;
        }
    }

    stopTicker();
    if (probingLatency)
        noteLoadedLatency(phase);
    // The time is the phase's whole length: a request cut at the deadline ends a moment
    // after it, and nothing acknowledged after the deadline counts.
    const double elapsed = std::chrono::duration<double>(Clock::now() - m_phaseStart).count();
    co_return SpeedTestMath::rate(m_phaseBytes, elapsed,
                                  ranOutOfSteps ? 0.0 : SpeedTestMath::minimumPhaseSeconds);
}
