// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/SpeedTestEngine.h"

#include "engine/SpeedTestMath.h"
#include "engine/ThroughputStreams.h"
#include "platform/HttpSession.h"
#include "platform/HttpTask.h"

#include <algorithm>
#include <cmath>
#include <limits>

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

HttpRequest SpeedTestEngine::throughputRequest(Phase phase, qint64 size) const
{
    HttpRequest request;
    if (phase == Phase::download) {
        request.url = url("/__down?bytes=") + QByteArray::number(size);
        request.timeout = m_config.downloadTimeout;
    } else {
        request.method = QByteArrayLiteral("POST");
        request.timeout = m_config.uploadTimeout;
        // A shorter block is the chunk's first bytes, not a copy.
        request.body = size > 0 && size < uploadChunkBytes
                           ? QByteArray::fromRawData(uploadChunk().constData(), size)
                           : uploadChunk();
        // The size lets the server bound the body it reads.
        request.url = url("/__up?bytes=") + QByteArray::number(request.body.size());
    }
    return request;
}

QCoro::Task<double> SpeedTestEngine::measureThroughput(Phase phase)
{
    m_phase = phase;
    m_phaseBytes = 0;
    m_levelled.clear();
    if (phase == Phase::upload) {
        // Made before the clock starts: filling it takes tens of milliseconds the first time.
        uploadChunk();
        // A download cut in flight leaves its data queued at the link's bottleneck, ahead
        // of anything sent now, for up to a second on a slow link: answers to the upload
        // would wait behind it, and a sender waiting for them times out and starts over.
        // A probe's answer comes once that has drained, on a connection then ready, so
        // that neither counts in the upload's time.
        if (m_lastRequestCut && !m_cancelled) {
            m_drainProbe = session().task(probeRequest());
            const std::shared_ptr<HttpTask> probe = m_drainProbe;
            const HttpOutcome outcome = co_await session().perform(probe);
            m_drainProbe.reset();
            if (!outcome.ok)
                noteFailure(outcome);
        }
    }
    const double budget =
        phase == Phase::download ? m_config.downloadBudget : m_config.uploadBudget;
    const bool probingLatency = co_await prepareLoadedLatency(budget);
    m_phaseStart = Clock::now();
    m_phaseDeadline =
        m_phaseStart
        + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(budget));

    ThroughputStreams::Setup setup;
    setup.upload = phase == Phase::upload;
    setup.maxStreams = setup.upload ? m_config.maxStreamsUp : m_config.maxStreamsDown;
    // The download has just found how many streams this path needs: the upload would find
    // them again one after the other, each a trial of several round trips.
    if (setup.upload) {
        setup.firstStreams = std::max(m_streamsDown, m_downMbps >= twoUploadStreamsMbps ? 2 : 1);
        // The path is known to be fast: waiting for a megabyte of a stream's first block
        // before its second, where a round trip is long, leaves the second's connection
        // still opening its window when the first block ends. A slow download that kept a
        // trial stream shows no such path (on a satellite's 20/5 Mbit/s, eight blocks at once
        // overfilled the uplink's queue: 3.8 Mbit/s read of 4.8).
        setup.pairFirstRequests = setup.firstStreams > 1 && m_downMbps >= twoUploadStreamsMbps;
        if (m_pingMs >= halfSecondBlockFromMs)
            setup.pairedBlockShare = 0.5;
        // A block that the download's rate carries in less than a round trip leaves its
        // connection as one burst, paced at whatever rate the connection last saw. Over
        // HTTP/2 the streams share one connection, which a stream's limit would hold back.
        const double blockMs = m_downMbps > 0 ? double(uploadChunkBytes) * 8 / (m_downMbps * 1000)
                                              : std::numeric_limits<double>::infinity();
        setup.limitPacing = blockMs < m_pingMs && m_pingMs >= pacingLimitFromMs
                            && m_pingMs < pacingLimitUntilMs
                            && session().config().version == HttpVersion::http1_1;
        // Where the download needed several, they fill the same path for the upload too; a
        // trial of one more would only cost the losses of its connections' start on a full
        // link.
        if (m_streamsDown > 1)
            setup.maxStreams = std::min(setup.maxStreams, setup.firstStreams);
        // A far path opens its windows together (paired only where the download showed the
        // path fast), within the streams the phase may use. (The download has 8 s to open
        // its window: four streams starting together there overfill the line's queue, and
        // their losses leave it reading lower and less steadily than one.)
        const int farStreams = std::min({int(std::lround(m_pingMs / longPathRttShareMs)),
                                         longPathStreamsMost, m_config.maxStreamsUp});
        if (farStreams > setup.firstStreams) {
            setup.firstStreams = farStreams;
            setup.maxStreams = std::max(setup.maxStreams, farStreams);
        }
    }
    // A download's trial stream opens into a queue its first stream keeps full: on a long
    // round trip it is judged over a span that grows with it, and a far one starts beside
    // the first instead.
    if (!setup.upload) {
        setup.trialWindows = StreamRule::settleWindowsFor(m_pingMs / 1000.0);
        if (m_pingMs >= farDownloadFromMs && m_pingMs < farDownloadUntilMs)
            setup.firstStreams = std::min(2, setup.maxStreams);
    }
    setup.sizes = m_config.downloadSteps;
    setup.byteLimit = m_config.downloadLimit;
    setup.deadline = m_phaseDeadline;
    setup.request = [this, phase](qint64 size) { return throughputRequest(phase, size); };
    m_streams = new ThroughputStreams(phase == Phase::download ? downloadSession() : session(),
                                      std::move(setup), this);
    m_streams->onFailure = [this](const HttpOutcome &outcome) { noteFailure(outcome); };
    startTicker();
    if (probingLatency)
        loadedLatency().start(m_phaseStart, [this] {
            const double elapsed = phaseSeconds();
            return elapsed > 0 ? double(m_phaseBytes) / elapsed : 0.0;
        });
    if (m_cancelled)
        m_streams->stop();
    m_streams->start();
    co_await StreamsAwaiter{this, m_streams};

    stopTicker();
    if (probingLatency)
        noteLoadedLatency(phase);
    ThroughputStreams *streams = std::exchange(m_streams, nullptr);
    m_phaseBytes = streams->bytes();
    m_reports[size_t(phase)].bytes = m_phaseBytes;
    (phase == Phase::upload ? m_streamsUp : m_streamsDown) = streams->streams();
    if (phase == Phase::download)
        m_lastRequestCut = streams->endedCut();
    // A fast link may move every byte the phase may ask for in a fraction of a second:
    // what it moved is the measure, however short it took.
    const bool ranOut = streams->ranOut();
    streams->deleteLater();
    // The time is the phase's whole length, at most its budget: the requests cut at the
    // deadline end a few event-loop turns after it, and nothing after the deadline counts.
    const double elapsed = std::min(phaseSeconds(), budget);
    double mbps = SpeedTestMath::rate(m_phaseBytes, elapsed,
                                      ranOut ? 0.0 : SpeedTestMath::minimumPhaseSeconds);
    // On a long path the windows take seconds to open: the reading is the rate once the
    // phase's count has levelled, the whole average where it never did (but for a first
    // burst faster than the link keeps).
    if (mbps > 0) {
        const LevelledRate::Reading levelled =
            m_levelled.reading(elapsed, m_phaseBytes, phase == Phase::download);
        if (levelled.levelled || levelled.fromSeconds > 0)
            mbps = levelled.bytesPerSecond * 8.0 / 1000000.0;
    }
    if (phase == Phase::download)
        m_downMbps = mbps;
    co_return mbps;
}
