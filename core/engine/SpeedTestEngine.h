// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/LevelledRate.h"
#include "engine/Responsiveness.h"
#include "engine/SpeedTestConfig.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>

#include <qcoro/qcorotask.h>

#include <array>
#include <chrono>
#include <coroutine>
#include <functional>
#include <memory>
#include <optional>

class HttpSession;
class HttpTask;
class LoadedLatencyProbe;
class QTimer;
class ThroughputStreams;

// Runs one speed test at a time: latency, download, upload, over one HTTP session; each
// throughput phase on as many parallel streams as still add to its rate. Everything happens on the
// thread that owns it, through its event loop. An engine must not be destroyed while a test runs.
class SpeedTestEngine : public QObject
{
    Q_OBJECT

public:
    // The stage a running test is in, in the order a test passes through them.
    enum class Phase { idle, ping, download, upload };

    static constexpr bool isThroughputPhase(Phase phase)
    {
        return phase == Phase::download || phase == Phase::upload;
    }

    // The values of one completed test. Also the element of the stored history, so its
    // JSON form is a stored format: {"date": <seconds since 2001-01-01 00:00:00 UTC>,
    // "down": <Mbps>, "up": <Mbps>, "ping": <ms>}, all JSON numbers, and, each only when it
    // was measured, "loadedLatencyDown", "loadedLatencyUp" and "jitter" in ms, "bytesDown"
    // and "bytesUp" in bytes. Readers that know only the first four ignore the others.
    class Result
    {
    public:
        // The latencies a test measured besides its ping, in milliseconds, each absent
        // when it was not measured: while downloading, while uploading, and the idle
        // probes' jitter.
        struct Latencies
        {
            std::optional<double> loadedDown;
            std::optional<double> loadedUp;
            std::optional<double> jitter;
        };

        // What the test moved each way, in bytes, when known: received, and acknowledged
        // by the server.
        struct Volume
        {
            std::optional<qint64> down;
            std::optional<qint64> up;
        };

        // date: seconds (with fraction) since 2001-01-01 00:00:00 UTC.
        Result(double date, double down, double up, double ping, Latencies latencies = {},
               Volume volume = {})
            : m_date(date)
            , m_down(down)
            , m_up(up)
            , m_ping(ping)
            , m_latencies(latencies)
            , m_volume(volume)
        {}

        double date() const { return m_date; }
        double down() const { return m_down; }
        double up() const { return m_up; }
        double ping() const { return m_ping; }
        std::optional<double> loadedLatencyDown() const { return m_latencies.loadedDown; }
        std::optional<double> loadedLatencyUp() const { return m_latencies.loadedUp; }
        std::optional<double> jitter() const { return m_latencies.jitter; }
        std::optional<qint64> bytesDown() const { return m_volume.down; }
        std::optional<qint64> bytesUp() const { return m_volume.up; }
        // Both ways together; absent when neither is known.
        std::optional<qint64> bytes() const
        {
            if (!m_volume.down && !m_volume.up)
                return std::nullopt;
            return m_volume.down.value_or(0) + m_volume.up.value_or(0);
        }
        // From the loaded latencies and the ping; absent without a loaded latency.
        std::optional<Responsiveness::Grade> grade() const
        {
            return Responsiveness::grade(m_ping, m_latencies.loadedDown, m_latencies.loadedUp);
        }

        QDateTime dateTime() const;
        static double dateFrom(const QDateTime &dateTime);
        static double now();

        // Absent when a value is not a finite number, which JSON cannot carry.
        std::optional<QJsonObject> toJson() const;
        // Absent when one of the first four members is missing, null or not a number; a
        // latency that is not a number of at least 0 reads as not measured, and other
        // members are ignored.
        static std::optional<Result> fromJson(const QJsonValue &json);

        // 2001-01-01 00:00:00 UTC, in seconds since 1970.
        static constexpr double referenceEpoch = 978307200.0;

    private:
        double m_date;
        double m_down;
        double m_up;
        double m_ping;
        Latencies m_latencies;
        Volume m_volume;
    };

    using Config = SpeedTestConfig;

    explicit SpeedTestEngine(Config config = {}, QObject *parent = nullptr);
    ~SpeedTestEngine() override;

    // The application's engine, against the production service.
    static SpeedTestEngine &shared();

    const Config &config() const { return m_config; }
    Phase phase() const { return m_phase; }
    bool isRunning() const { return m_running; }
    // Whether the progress ticker exists, which it does only during a throughput phase.
    bool isTicking() const { return m_ticker != nullptr; }
    // The bytes and the start of the current throughput phase, or of the last one.
    // Uploaded bytes count once the server has acknowledged them.
    qint64 phaseBytes() const { return m_phaseBytes; }
    std::chrono::steady_clock::time_point phaseStart() const { return m_phaseStart; }
    // How one phase of the current or last test went: what it moved (acknowledged bytes for
    // the upload; always 0 for the latency phase) and the latest of its own requests that
    // failed. A throughput phase that moved nothing measured no rate, though the stored
    // result holds 0 for it.
    struct PhaseReport
    {
        qint64 bytes = 0;
        std::optional<HttpOutcome> failure;

        bool moved() const { return bytes > 0; }
    };
    // The report of `phase`; that of idle is always empty.
    const PhaseReport &report(Phase phase) const { return m_reports[size_t(phase)]; }
    // The parallel streams the current or last throughput phase of that direction kept;
    // 0 before one ran.
    int streams(Phase phase) const;
    // Requests of the current throughput phase in flight now.
    int requestsInFlight() const;

    // The phase and the rate so far in Mbps: (ping, 0) once as the latency phase begins,
    // then download and upload rates every tick once a phase has run for 0.3 s.
    std::function<void(Phase phase, double mbps)> onProgress;
    // Exactly once per accepted start(), after isRunning() became false and the phase
    // idle, with the result (already in the history) or with none when the test failed
    // or was cancelled.
    std::function<void(std::optional<Result> result)> onFinished;

    // Begins a test on a later turn of the event loop, unless one is running.
    void start();
    // Asks the running test to stop; it ends with no result. Ignored when idle.
    void cancel();

    // The body of every upload request: 4,000,000 random bytes made once per process.
    static const QByteArray &uploadChunk();
    static constexpr qint64 uploadChunkBytes = 4000000;
    // A download at least this fast (Mbit/s) starts the upload with two streams at least:
    // one stream's blocks, each waiting for its answer, seldom fill such a path.
    static constexpr double twoUploadStreamsMbps = 50;
    // Where a round trip takes this long or longer, the upload opens with a stream for each
    // such share of it (to the nearest), longPathStreamsMost at most. One fresh connection's
    // window, ten packets doubling each round trip, takes most of an upload to carry the path's
    // rate (2.8 s of 5 at 5 Mbit/s and 600 ms), and n streams opened together reach it log2(n)
    // round trips sooner. Once open, each connection still waits a round trip for the answer
    // to every block, and a sender that backs off on losses (cubic, a stock desktop's) takes
    // 30 % off a connection's window at a loss and regrows it over seconds: the more
    // connections share the line, the less of it either leaves idle. Two streams, as the
    // download's count gave, read 229 Mbit/s at 300 Mbit/s and 100 ms on cubic (261 on BBR),
    // 270 at 60 ms on cubic, and 87.9 at 100 Mbit/s and 150 ms on cubic; four read 283, 279,
    // 286 and 92.2. On slow links (1 and 2 Mbit/s up, 60-100 ms) four read as one. At 1 Gbit/s
    // and 40 ms, uploads that opened with two streams (its shares rounded down) and kept them
    // read 869-951 Mbit/s, three runs of six under 893 where four curl streams read 905-917
    // (those that a trial took to three, 911-933); opened with three, 933-952 in eight runs
    // (at 100 Mbit/s, 92.2-95.5 against 94.7-96.4).
    static constexpr double longPathRttShareMs = 15;
    static constexpr int longPathStreamsMost = 4;
    // Where a round trip takes this long or longer, a stream's paired first blocks are a whole
    // one and half of one. Of the same size, sent together on connections opening together,
    // they end within milliseconds of each other; with both of its places taken until then,
    // the stream's next block follows only them, and every connection waits a round trip for
    // its answer at once: at 150 ms every traced upload fell to 30-85 % of the line there, and
    // thirty runs read 94.5 Mbit/s in the median of a 96.5 line, 95.8 with the half block. On
    // nearer paths that wait is short: at 40 ms and 1 Gbit/s the half block left two runs of
    // eighteen 5-11 % low where none were.
    static constexpr double halfSecondBlockFromMs = 100;
    // Where a block takes less than a round trip at the download's rate, and the round trip
    // is within these, the upload's connections may pace under a limit once the phase has run
    // a second (ThroughputStreams::pacingLimitShare). Where a block takes longer, its sender
    // sees its share within it (at 300 Mbit/s and 30 ms the limit read 1 % lower and helped
    // nothing). A limited sender keeps the best rate it saw over ten round trips only, 0.2 s
    // at 20 ms: there it soon paced at its share of the line when all sent at once, and
    // under it while the others waited (at 2 Gbit/s and 20 ms, 1729 Mbit/s in the median
    // with the limit, 1850 without). On a longer round trip the windows may still be opening
    // after a second, and the limit, set from the best rate seen so far, would hold them back.
    static constexpr double pacingLimitFromMs = 30;
    static constexpr double pacingLimitUntilMs = 100;
    // Where a round trip takes this long or longer, the download opens with two streams:
    // against a cubic server a trial's fresh connection, started beside one that keeps the
    // line's queue full, leaves its slow start at once and then grows a packet a round trip,
    // adds too little to be kept, and one connection's window holds the phase (at 80 ms and
    // 1 Gbit/s, a third of the link). Not from farDownloadUntilMs on (a satellite's slow
    // link, whose queue two slow starts together overfill).
    static constexpr double farDownloadFromMs = 60;
    static constexpr double farDownloadUntilMs = 300;
    static constexpr int latencyProbes = 5;
    static constexpr std::chrono::milliseconds tickInterval{200};
    static constexpr double firstReportSeconds = 0.3;

private:
    using Clock = std::chrono::steady_clock;
    // Suspends a throughput phase until its streams have finished; it resumes from the
    // event loop, never from inside the streams' own calls.
    struct StreamsAwaiter
    {
        SpeedTestEngine *engine;
        ThroughputStreams *streams;

        bool await_ready() const noexcept;
        void await_suspend(std::coroutine_handle<> awaiting);
        void await_resume() const noexcept {}
    };

    QCoro::Task<> run();
    QCoro::Task<std::optional<double>> measurePing();
    QCoro::Task<double> measureThroughput(Phase phase);
    // Opens the loaded-latency probes' connection before a phase of this budget, when
    // they fit in it; whether they do.
    QCoro::Task<bool> prepareLoadedLatency(double budget);
    void noteLoadedLatency(Phase phase);
    HttpRequest probeRequest() const;
    HttpRequest throughputRequest(Phase phase, qint64 size) const;
    void noteFailure(const HttpOutcome &outcome);
    // Seconds since the throughput phase started.
    double phaseSeconds(Clock::time_point now = Clock::now()) const;
    void startTicker();
    void stopTicker();
    void tick();
    void countInFlight();
    void cutAtDeadline();
    void finish(std::optional<Result> result);
    HttpSession &session();
    // The download's connections are its own. One taken over from the latency probes keeps the
    // probes' least round trip, which a BBR sender measures again ten seconds later, holding its
    // window at four packets for a round trip and more: within the download on a satellite's
    // 600 ms path, where the phase then read two thirds of the link.
    HttpSession &downloadSession();
    LoadedLatencyProbe &loadedLatency();
    QByteArray url(const char *path) const;

    Config m_config;
    Phase m_phase = Phase::idle;
    bool m_running = false;
    bool m_cancelled = false;
    // The probe that lets the link drain before an upload, while it runs; cancel() cuts it.
    std::shared_ptr<HttpTask> m_drainProbe;
    qint64 m_phaseBytes = 0;
    // The phase's byte count at each tick, from which its reading is taken.
    LevelledRate m_levelled;
    // The requests of the throughput phase running, or none.
    ThroughputStreams *m_streams = nullptr;
    int m_streamsDown = 0;
    int m_streamsUp = 0;
    // The download's rate, Mbit/s.
    double m_downMbps = 0;
    // The idle latency the probes measured, ms.
    double m_pingMs = 0;
    // A download request ended without its whole answer: cut at the deadline, or broken.
    // Its connection is gone, and what it left on the way may still be queued.
    bool m_lastRequestCut = false;
    Clock::time_point m_phaseStart = Clock::now();
    Clock::time_point m_phaseDeadline = m_phaseStart;
    QTimer *m_ticker = nullptr;
    // Indexed by Phase.
    std::array<PhaseReport, 4> m_reports;
    Result::Latencies m_latencies;
    std::unique_ptr<HttpSession> m_session;
    std::unique_ptr<HttpSession> m_downloadSession;
    std::unique_ptr<LoadedLatencyProbe> m_loadedLatency;
};
