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
    std::shared_ptr<HttpTask> task = session().task(std::move(request));
    const QPointer<SpeedTestEngine> engine(this);
    const HttpTask *key = task.get();
    task->onReceive = [engine](QByteArrayView chunk) {
        if (engine)
            engine->m_phaseBytes += chunk.size();
    };
    task->onSend = [engine](qint64 bytesSent, qint64) {
        if (engine && engine->m_phase == Phase::upload)
            engine->m_phaseBytes += bytesSent;
    };
    task->onComplete = [engine, key](const HttpOutcome &) {
        if (engine)
            engine->taskCompleted(key);
    };
    return task;
}

QCoro::Task<double> SpeedTestEngine::measureThroughput(Phase phase)
{
    m_phase = phase;
    m_phaseBytes = 0;
    m_phaseStart = Clock::now();
    const double budget =
        phase == Phase::download ? m_config.downloadBudget : m_config.uploadBudget;
    m_phaseDeadline =
        m_phaseStart
        + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(budget));
    startTicker();

    if (phase == Phase::download) {
        for (const qint64 size : std::as_const(m_config.downloadSteps)) {
            if (m_cancelled || Clock::now() >= m_phaseDeadline)
                break;
            const qint64 before = m_phaseBytes;
            const std::shared_ptr<HttpTask> task = throughputTask(phase, size);
            co_await runTask(task.get());
            if (m_phaseBytes == before)
                break;
        }
    } else {
        while (!m_cancelled && Clock::now() < m_phaseDeadline) {
            const qint64 before = m_phaseBytes;
            const std::shared_ptr<HttpTask> task = throughputTask(phase, 0);
            co_await runTask(task.get());
            if (m_phaseBytes == before)
                break;
        }
    }

    stopTicker();
    // The count includes what arrived after the deadline, until the cut request ended, so
    // the time is the phase's whole length too; dividing by the budget alone would report
    // more than the link carried.
    const double elapsed = std::chrono::duration<double>(Clock::now() - m_phaseStart).count();
    co_return SpeedTestMath::rate(m_phaseBytes, elapsed);
}
