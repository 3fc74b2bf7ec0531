#include "TestSupport.h"

#include "LoopbackClient.h"
#include "ServerOptions.h"
#include "SpeedServerProcess.h"

#include "engine/SpeedTestEngine.h"
#include "engine/SpeedTestMath.h"
#include "engine/StreamRule.h"
#include "platform/HttpSession.h"
#include "platform/HttpTask.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"
#include "settings/SpeedHistory.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <tuple>

using namespace std::chrono_literals;
using Phase = SpeedTestEngine::Phase;
using Result = SpeedTestEngine::Result;
using namespace speedserver;

namespace {

// The values' bits, so that they compare exactly.
template <typename... Doubles>
QList<quint64> bits(Doubles... values)
{
    return {std::bit_cast<quint64>(double(values))...};
}

// A task started on the session with a body of that size (cancelled first when asked), and
// what it reported.
struct Transfer
{
    std::shared_ptr<HttpTask> task;
    qint64 received = 0;
    int completions = 0;
    bool callbackAfterCompletion = false;
    HttpOutcome outcome;

    Transfer(HttpSession &session, const QString &url, const char *method = "GET",
             qint64 bodySize = 0, bool cancelFirst = false)
        : task(session.task({method, url.toUtf8(), 5s, QByteArray(bodySize, 'x')}))
    {
        task->onReceive = [this](QByteArrayView chunk) {
            callbackAfterCompletion |= completions > 0;
            received += chunk.size();
        };
        task->onComplete = [this](const HttpOutcome &result) {
            ++completions;
            outcome = result;
        };
        if (cancelFirst)
            task->cancel();
        task->start();
    }
};

// One request kept whole, on the session given or on a connection of its own.
HttpResponse fetched(const QString &url, const char *method = "GET", HttpSession *session = nullptr)
{
    HttpSession own;
    return QCoro::waitFor(
        (session ? *session : own).fetch({method, url.toUtf8(), 5s, {}}, 1 << 24));
}

// A number in /proc/<pid>/status, such as "VmRSS" (in kB) or "Threads"; 0 when absent.
qint64 processStatus(qint64 pid, const QString &name)
{
    const QRegularExpression line("^" + name + ":\\s*(\\d+)", QRegularExpression::MultilineOption);
    const QString status = TestSupport::readFile(QString("/proc/%1/status").arg(pid));
    return line.match(status).captured(1).toLongLong();
}

// Everything one engine reported during one test.
struct Recorder
{
    QList<std::pair<Phase, double>> reports;
    // Seconds since the phase began, for every throughput report.
    QList<double> reportAges;
    int finished = 0;
    std::optional<Result> result;
    // Whether the engine still ran, its phase and the stored results, when it finished.
    std::tuple<bool, Phase, int> inFinish{true, Phase::ping, -1};
    // The upload phase's count at the end.
    qint64 uploaded = -1;

    int count(Phase phase) const
    {
        return int(std::ranges::count(reports, phase, &std::pair<Phase, double>::first));
    }
};

// Long enough for any test here, far below the budgets of the cancellation cases.
constexpr int finishWithinMs = 15000;

} // namespace

class TestEngine : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certificates;
    std::unique_ptr<SpeedServerProcess> m_server;
    std::unique_ptr<SpeedTestEngine> m_engine;
    Recorder m_run;

    // A server started with these arguments, over TLS when asked; false when it did not come up.
    bool serve(QStringList arguments = {}, bool tls = false)
    {
        if (tls)
            arguments << "--cert" << m_certificates.filePath("cert.pem") << "--key"
                      << m_certificates.filePath("key.pem");
        m_server = std::make_unique<SpeedServerProcess>();
        return m_server->start(arguments);
    }

    // serve(), and an engine with a small config against the server, tuned.
    bool prepare(const QStringList &arguments,
                 const std::function<void(SpeedTestConfig &)> &tune = {}, bool tls = false)
    {
        if (!serve(arguments, tls))
            return false;
        SpeedTestConfig config;
        config.host = m_server->origin();
        if (tls)
            config.http.caFile = m_certificates.filePath("cert.pem");
        config.downloadBudget = config.uploadBudget = 1.0;
        config.downloadSteps = {200000, 1000000, 4000000};
        config.downloadLimit = -1;
        // One stream unless a case is about several.
        config.maxStreamsDown = config.maxStreamsUp = 1;
        config.pingTimeout = 1s;
        // Transfers end at the phase's deadline, not on a time-out, even in the long phases.
        config.downloadTimeout = config.uploadTimeout = 30s;
        if (tune)
            tune(config);
        // Each size once, unless a case asks for more.
        if (config.downloadLimit < 0)
            config.downloadLimit = std::accumulate(config.downloadSteps.begin(),
                                                   config.downloadSteps.end(), qint64(0));
        m_engine = std::make_unique<SpeedTestEngine>(config);
        m_run = {};
        SpeedTestEngine *engine = m_engine.get();
        engine->onProgress = [this, engine](Phase phase, double mbps) {
            m_run.reports.append({phase, mbps});
            if (SpeedTestEngine::isThroughputPhase(phase)) {
                const auto age = std::chrono::steady_clock::now() - engine->phaseStart();
                m_run.reportAges.append(std::chrono::duration<double>(age).count());
            }
        };
        engine->onFinished = [this, engine](std::optional<Result> result) {
            ++m_run.finished;
            m_run.result = result;
            m_run.inFinish = {engine->isRunning(), engine->phase(),
                              int(SpeedHistory::all().size())};
            m_run.uploaded = engine->phaseBytes();
        };
        return true;
    }

private slots:
    void initTestCase() { QVERIFY(SpeedServerProcess::makeCertificate(m_certificates.path())); }
    void init() { PreferencesStore::shared().remove(PreferenceKeys::history); }

    void cleanup()
    {
        if (m_engine && m_engine->isRunning()) {
            m_engine->cancel();
            QTRY_VERIFY_WITH_TIMEOUT(!m_engine->isRunning(), finishWithinMs);
        }
        m_engine.reset();
        m_server.reset();
    }

    void roundTripKeepsEveryBit_data()
    {
        QTest::addColumn<QList<double>>("values"); // date, down, up, ping
        QTest::newRow("typical") << QList{818000000.123456789, 93.41234567890123,
                                          12.000000000000002, 14.285714285714286};
        QTest::newRow("extremes") << QList{-1e9, std::numeric_limits<double>::max(),
                                           std::numeric_limits<double>::denorm_min(), 1e-300};
    }

    void roundTripKeepsEveryBit()
    {
        QFETCH(QList<double>, values);
        const auto json = Result(values[0], values[1], values[2], values[3]).toJson();
        QVERIFY(json && json->size() == 4);
        // Through the text form, as the history stores it.
        const QByteArray text = QJsonDocument(*json).toJson(QJsonDocument::Compact);
        const auto back = Result::fromJson(QJsonDocument::fromJson(text).object());
        QVERIFY(back);
        QCOMPARE(bits(back->date(), back->down(), back->up(), back->ping()),
                 bits(values[0], values[1], values[2], values[3]));
    }

    // Dates count from 2001, zero included; a value that is not finite is never encoded.
    void zeroDateAndNonFiniteValues()
    {
        const auto zero = Result::fromJson(
            QJsonDocument::fromJson(R"({"date":0,"down":0,"up":0,"ping":0})").object());
        QVERIFY(zero);
        QCOMPARE(zero->dateTime(), QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));
        QCOMPARE(Result::dateFrom(QDateTime(QDate(2001, 1, 1), QTime(0, 0, 1, 500), Qt::UTC)), 1.5);
        for (int field = 0; field < 4; ++field)
            for (const double value : {std::nan(""), -HUGE_VAL}) {
                double values[4] = {1, 2, 3, 4};
                values[field] = value;
                QCOMPARE(Result(values[0], values[1], values[2], values[3]).toJson(), std::nullopt);
            }
    }

    void decoding_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("integers, any order")
            << QByteArray(R"({"ping":4,"up":3,"down":2,"date":1})") << true;
        QTest::newRow("extra member")
            << QByteArray(R"({"date":1,"down":2,"up":3,"ping":4,"jitter":"x"})") << true;
        QTest::newRow("missing ping") << QByteArray(R"({"date":1,"down":2,"up":3})") << false;
        QTest::newRow("text down")
            << QByteArray(R"({"date":1,"down":"2","up":3,"ping":4})") << false;
        QTest::newRow("array") << QByteArray(R"([1,2,3,4])") << false;
    }

    void decoding()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, decodes);
        // Taken out of an array, so that the value may be anything JSON has.
        const auto result = Result::fromJson(QJsonDocument::fromJson("[" + json + "]").array()[0]);
        QCOMPARE(result.has_value(), decodes);
        if (decodes)
            QCOMPARE(bits(result->date(), result->down(), result->up(), result->ping()),
                     bits(1, 2, 3, 4));
    }
    void bodiesAreCountedNotKeptOverOneConnection()
    {
        QVERIFY(serve());
        HttpSession session;
        // -1 received: whatever the short answer to an upload holds.
        const std::tuple<const char *, const char *, qint64, qint64> steps[] = {
            {"HEAD", "/__down?bytes=0", 0, 0},
            {"GET", "/__down?bytes=3000001", 3000001, 0},
            {"POST", "/__up", -1, 4000000},
            {"GET", "/__down?bytes=1", 1, 0}};
        QList<long> opened;
        for (const auto &[method, path, received, sent] : steps) {
            Transfer transfer(session, m_server->origin() + path, method, sent);
            QTRY_COMPARE_WITH_TIMEOUT(transfer.completions, 1, finishWithinMs);
            QVERIFY2(transfer.outcome.ok, qPrintable(transfer.outcome.error));
            QCOMPARE(transfer.outcome.status, 200);
            QVERIFY(received < 0 || transfer.received == received);
            QCOMPARE(transfer.task->bodyBytesAcknowledged(), sent);
            opened.append(transfer.outcome.newConnections);
        }
        QCOMPARE(opened, (QList<long>{1, 0, 0, 0}));
        QCOMPARE(session.runningTransfers(), 0);
        QCOMPARE(m_server->stop().up, 4000000);
    }

    void cancelCompletesPromptlyAndOnce()
    {
        QVERIFY(serve({"--down-rate", "1000000"}));
        HttpSession session;
        Transfer transfer(session, m_server->origin() + "/__down?bytes=50000000");
        QTRY_VERIFY_WITH_TIMEOUT(transfer.received > 0, finishWithinMs);
        transfer.task->cancel();
        // Never from inside cancel(): the caller is not re-entered.
        QCOMPARE(transfer.completions, 0);
        transfer.task->cancel();
        // Cancelled before it starts, a task sends nothing.
        Transfer early(session, m_server->origin() + "/__down?bytes=10", "GET", 0, true);
        QTRY_COMPARE_WITH_TIMEOUT(transfer.completions, 1, 2000);
        QTRY_COMPARE_WITH_TIMEOUT(early.completions, 1, finishWithinMs);
        QVERIFY(transfer.outcome.cancelled && early.outcome.cancelled && !transfer.outcome.ok);
        const qint64 received = transfer.received;
        // Another transfer on the same session gives a late callback every chance to come.
        QVERIFY(fetched(m_server->origin() + "/__up", "POST", &session).outcome.ok);
        QCOMPARE(transfer.received, received);
        QCOMPARE(transfer.completions, 1);
        QVERIFY(!transfer.callbackAfterCompletion);
        QCOMPARE(session.runningTransfers(), 0);

        // Nor does a session dropped with a transfer cancelled in it.
        auto dropped = std::make_unique<HttpSession>();
        Transfer orphan(*dropped, m_server->origin() + "/__down?bytes=5000000");
        QTRY_VERIFY_WITH_TIMEOUT(orphan.received > 0, finishWithinMs);
        orphan.task->cancel();
        dropped.reset();
        QVERIFY(fetched(m_server->origin() + "/__down?bytes=0", "GET", &session).outcome.ok);
        QCOMPARE(orphan.completions, 0);
        QCOMPARE(orphan.task->state(), HttpTask::State::finished);
        QCOMPARE(
            m_server->stop().requests.mid(0, 3),
            (QStringList{"GET /__down?bytes=50000000", "POST /__up", "GET /__down?bytes=5000000"}));
    }

    void fetchesOnlyWhatItTrusts()
    {
        QVERIFY(serve({}, true));
        const QString url = m_server->origin() + "/__down?bytes=1000";
        HttpSession untrusting;
        QCOMPARE(fetched(url, "GET", &untrusting).outcome.failure,
                 HttpFailure::certificateRejected);
        const HttpOutcome file = fetched("file:///etc/hostname", "GET", &untrusting).outcome;
        QVERIFY(!file.ok && !file.cancelled && !file.error.isEmpty());
        QCOMPARE(file.failure, HttpFailure::other);
        for (HttpVersion version : {HttpVersion::http1_1, HttpVersion::http2}) {
            HttpSession trusting({version, m_certificates.filePath("cert.pem")});
            const HttpOutcome outcome = fetched(url, "GET", &trusting).outcome;
            QVERIFY2(outcome.ok, qPrintable(outcome.error));
            QCOMPARE(outcome.status, 200);
        }
    }
    // The speed server the engine is measured against. Each fault takes as many requests of its
    // kind as it counts, in order.
    void answersAndFaults()
    {
        // A refusal comes before any request, so it cannot pick requests.
        for (const char *bad : {"explode", "stall@get", "status=42", "close-after=", "stall#-1",
                                "stall=1", "refuse@down", "refuse#1"})
            QVERIFY2(!parseFault(bad), bad);
        QVERIFY(serve({"--fault", "status=503@head#1", "--fault", "close-after=0@head#1", "--fault",
                       "close-after=1000@down#1"}));
        const QString origin = m_server->origin();
        QCOMPARE(fetched(origin + "/__down?bytes=0", "HEAD").outcome.status, 503);
        const HttpResponse dropped = fetched(origin + "/__down?bytes=0", "HEAD");
        QVERIFY(!dropped.outcome.ok && dropped.outcome.status == 0);
        QCOMPARE(fetched(origin + "/__down?bytes=0", "HEAD").outcome.status, 200);
        const HttpResponse cut = fetched(origin + "/__down?bytes=50000");
        QVERIFY(!cut.outcome.ok);
        QCOMPARE(cut.body.size(), 1000);
        QCOMPARE(fetched(origin + "/__down?measId=7&bytes=1234567").body.size(), 1234567);
        QCOMPARE(fetched(origin + "/elsewhere").outcome.status, 404);
        QCOMPARE(fetched(origin + "/__down?bytes=-1").outcome.status, 400);
        // What a cut answer sent counts in the server's totals.
        QCOMPARE(m_server->stop().down, 1235567);
    }

    void boundsItsConnections()
    {
        QVERIFY(serve({"--max-connections", "50", "--idle-timeout", "500"}));
        const qint64 pid = m_server->processId();
        const qint64 residentBefore = processStatus(pid, "VmRSS");
        // Past the limit a connection waits until the idle ones are closed, at the earliest
        // their time-out after they were opened.
        QElapsedTimer timer;
        timer.start();
        std::vector<std::unique_ptr<LoopbackClient>> idle;
        for (int i = 0; i < 50; ++i)
            idle.push_back(std::make_unique<LoopbackClient>(QUrl(m_server->origin()).port()));
        QTRY_COMPARE(processStatus(pid, "Threads"), 52);
        // An idle connection holds no buffer of its own.
        const qint64 grownKb = processStatus(pid, "VmRSS") - residentBefore;
        QVERIFY2(grownKb < 16 * 1024, qPrintable(QString::number(grownKb)));
        QCOMPARE(fetched(m_server->origin() + "/__down?bytes=10").body.size(), 10);
        QVERIFY2(timer.elapsed() >= 500, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(idle.front()->closedByPeer());
    }
    void pureRules()
    {
        // With an even count, the larger middle sample; fewer than three, no latency.
        QCOMPARE(SpeedTestMath::medianLatency({30, 12, 14, 13, 90}).value_or(0), 14.0);
        QCOMPARE(SpeedTestMath::medianLatency({12, 13, 14, 30}).value_or(0), 14.0);
        QCOMPARE(SpeedTestMath::medianLatency({12, 30, 13}).value_or(0), 13.0);
        QVERIFY(!SpeedTestMath::medianLatency({12, 13}));
        // Nothing measured in 0.4 s or less counts.
        QCOMPARE(SpeedTestMath::rate(5000000, 8.0), 5.0);
        QCOMPARE(SpeedTestMath::rate(1000000, 0.4), 0.0);
        QCOMPARE(SpeedTestMath::rate(1, 0.41), 8 / 0.41 / 1e6);
        // A download phase that ran out of sizes counts however short it was.
        QCOMPARE(SpeedTestMath::rate(1000000, 0.01, 0), 800.0);
        // Every upload sends the same block of random bytes.
        const QByteArray &chunk = SpeedTestEngine::uploadChunk();
        QCOMPARE(SpeedTestEngine::uploadChunk().constData(), chunk.constData());
        QVERIFY(chunk.count('\0') < chunk.size() / 100);
    }

    // The streams a phase keeps, from the rates of its successive windows (Mbit/s).
    void streamRule_data()
    {
        QTest::addColumn<int>("maxStreams");
        QTest::addColumn<QList<double>>("rates");
        QTest::addColumn<int>("kept");
        QTest::addColumn<bool>("stillTrying");
        // Levelled off at the third window: a trial, which adds nothing and is given back.
        QTest::newRow("one stream fills the link")
            << 8 << QList<double>{50, 100, 100, 100, 100, 100, 100, 300} << 1 << false;
        // The trial's first window is not judged: a burst there proves nothing.
        QTest::newRow("a burst as the trial starts")
            << 8 << QList<double>{100, 100, 200, 100, 100, 100} << 1 << false;
        // Only the first trial waits for the level: one that pays off is followed at once.
        QTest::newRow("each stream adds its share")
            << 8 << QList<double>{20, 20, 30, 40, 40, 50, 60, 60, 70} << 4 << true;
        QTest::newRow("the first trial that adds nothing ends the rule")
            << 8 << QList<double>{20, 20, 30, 40, 40, 40, 40, 40, 80} << 2 << false;
        QTest::newRow("up to the bound")
            << 2 << QList<double>{20, 20, 30, 40, 40, 40, 40} << 2 << false;
    }

    void streamRule()
    {
        QFETCH(int, maxStreams);
        QFETCH(QList<double>, rates);
        QFETCH(int, kept);
        QFETCH(bool, stillTrying);
        StreamRule rule(maxStreams);
        int inUse = 1;
        for (const double mbps : std::as_const(rates)) {
            const auto action = rule.windowEnded(qint64(mbps * 1e6 / 8 * 0.15), 0.15);
            inUse += action == StreamRule::Action::add        ? 1
                     : action == StreamRule::Action::giveBack ? -1
                                                              : 0;
            QCOMPARE(rule.streams(), inUse);
        }
        QCOMPARE(rule.kept(), kept);
        QCOMPARE(rule.onTrial(), stillTrying);
    }

    void fullTestReportsInOrderAndStoresItsResult()
    {
        // Over TLS, paced so that both phases run into their deadline and report on the way.
        QVERIFY(prepare(
            {"--down-rate", "25000000", "--up-rate", "25000000"},
            [&](SpeedTestConfig &config) { config.downloadSteps = {100000000}; }, true));
        SpeedTestEngine &engine = *m_engine;
        engine.cancel();
        engine.start();
        QVERIFY(engine.isRunning());
        QCOMPARE(engine.phase(), Phase::idle);
        engine.start();
        QTRY_VERIFY_WITH_TIMEOUT(m_run.count(Phase::download) > 0, finishWithinMs);
        engine.start();
        QVERIFY(engine.isTicking());
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);

        QVERIFY(m_run.result && m_run.result->down() > 0 && m_run.result->up() > 0);
        QVERIFY(!engine.isTicking());
        QCOMPARE(m_run.inFinish, std::tuple(false, Phase::idle, 1));
        QCOMPARE(SpeedHistory::all().constFirst().date(), m_run.result->date());
        QCOMPARE(m_run.reports.constFirst(), std::pair(Phase::ping, 0.0));
        QVERIFY(m_run.count(Phase::ping) == 1 && m_run.count(Phase::idle) == 0);
        QVERIFY(m_run.count(Phase::upload) > 0);
        for (qsizetype i = 1; i < m_run.reports.size(); ++i)
            QVERIFY(m_run.reports[i - 1].first <= m_run.reports[i].first);
        for (double age : std::as_const(m_run.reportAges))
            QVERIFY2(age > 0.3, qPrintable(QString::number(age)));

        const QStringList requests = m_server->stop().requests;
        QCOMPARE(requests.mid(0, 6), QStringList(5, "HEAD /__down?bytes=0")
                                         << "GET /__down?bytes=100000000");
        QCOMPARE(SpeedServerProcess::count(requests, "GET"), 1);
        QCOMPARE(requests.constLast(), QStringLiteral("POST /__up"));
    }

    // A probe in flight ends before the test does; a transfer in flight is cut.
    void cancelInEachPhase_data()
    {
        QTest::addColumn<Phase>("phase");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("requests");
        const QStringList paced{"--down-rate", "1000000", "--up-rate", "1000000"};
        QTest::newRow("third probe") << Phase::ping << QStringList{"--delay", "600"} << 3;
        // A long phase opens the latency probes' connection before it starts.
        QTest::newRow("download") << Phase::download << paced << 7;
        // The download was cut: a probe comes before the upload, which opens with two
        // blocks.
        QTest::newRow("upload") << Phase::upload << paced << 10;
    }

    void cancelInEachPhase()
    {
        QFETCH(Phase, phase);
        QFETCH(QStringList, arguments);
        QFETCH(int, requests);
        QVERIFY(prepare(arguments, [&](SpeedTestConfig &config) {
            config.downloadBudget = phase == Phase::download ? 60 : 0.6;
            config.uploadBudget = 60;
            config.downloadSteps = {50000000};
        }));
        m_engine->start();
        QTRY_VERIFY_WITH_TIMEOUT(phase == Phase::ping
                                     ? SpeedServerProcess::count(m_server->requests(), "HEAD") == 3
                                     : m_run.count(phase) > 0,
                                 finishWithinMs);
        m_engine->cancel();
        m_engine->start();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(!m_run.result);
        QCOMPARE(SpeedHistory::all().size(), 0);
        QCOMPARE(m_run.reports.constLast().first, phase);
        QCOMPARE(m_server->stop().requests.size(), requests);
    }

    // -1 in a count: any; moved: -1 any, 0 nothing, 1 something.
    void faultsEndTheTestSoundly_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("stored");
        QTest::addColumn<int>("downMoved");
        QTest::addColumn<int>("upMoved");
        QTest::addColumn<QList<int>>("requests"); // HEAD, GET, POST
        // Fewer than three probes answered: no throughput phase (refused connections, the
        // CLI's and the application's failure cases, end the same way).
        QTest::newRow("three probes dropped") << QStringList{"--fault", "close-after=0@head#3"}
                                              << false << -1 << -1 << QList{5, 0, 0};
        // Error answers are answers; a stalled probe times out.
        QTest::newRow("stalled probe, error answers")
            << QStringList{"--fault", "stall@head#1", "--fault", "status=503@head"} << true << -1
            << 1 << QList{5, -1, -1};
        // Every size within a few milliseconds on loopback: what moved is the measure.
        QTest::newRow("all sizes at once") << QStringList() << true << 1 << 1 << QList{5, 3, -1};
        // Only the measurement counts: an error page is no download, a refused upload and
        // the answer to an upload are no upload.
        QTest::newRow("error page on downloads")
            << QStringList{"--fault", "status=500@down"} << true << 0 << 1 << QList{5, 1, -1};
        QTest::newRow("500 on uploads")
            << QStringList{"--fault", "status=500@up"} << true << -1 << 0 << QList{5, 3, -1};
        QTest::newRow("endless answer to uploads")
            << QStringList{"--fault", "endless@up"} << true << -1 << 1 << QList{5, 3, -1};
    }

    void faultsEndTheTestSoundly()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, stored);
        QFETCH(int, downMoved);
        QFETCH(int, upMoved);
        QFETCH(QList<int>, requests);
        QVERIFY(prepare(arguments));
        m_engine->start();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QCOMPARE(m_engine->phase(), Phase::idle);
        QCOMPARE(SpeedHistory::all().size(), stored ? 1 : 0);
        const SpeedServerProcess::Log log = m_server->stop();
        if (stored) {
            QVERIFY(m_run.result);
            QVERIFY(downMoved < 0 || (m_run.result->down() > 0) == bool(downMoved));
            QVERIFY(upMoved < 0 || (m_run.result->up() > 0) == bool(upMoved));
            QCOMPARE(SpeedHistory::all().constFirst().up(), m_run.result->up());
            // Never more than the server read, but for what its kernel took ahead of it.
            QVERIFY2(m_run.uploaded <= log.up + 256 * 1024,
                     qPrintable(QString("%1 > %2").arg(m_run.uploaded).arg(log.up)));
        } else {
            QVERIFY(!m_run.result);
            QCOMPARE(m_run.reports.size(), 1);
        }
        for (int i = 0; const char *method : {"HEAD", "GET", "POST"}) {
            const int count = requests[i++];
            QVERIFY2(count < 0 || SpeedServerProcess::count(log.requests, method) == count, method);
        }
    }

    void brokenDownloadCountsAndTheNextSizeFollows()
    {
        // Paced so that the phase lasts long enough to measure.
        QVERIFY(prepare({"--fault", "close-after=100000@down#1", "--down-rate", "4000000"},
                        [](SpeedTestConfig &config) {
                            config.downloadSteps = {1000000, 3000000};
                            config.downloadBudget = 5;
                            config.uploadBudget = 0;
                        }));
        m_engine->start();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(m_run.result && m_run.result->down() > 0);
        QCOMPARE(m_run.result->up(), 0.0);
        const SpeedServerProcess::Log log = m_server->stop();
        QCOMPARE(log.requests.mid(5),
                 (QStringList{"HEAD /__down?bytes=0", "GET /__down?bytes=1000000",
                              "GET /__down?bytes=3000000"}));
        QCOMPARE(log.down, 3100000);
    }

    void deadlineCutsTheRequestInFlight_data()
    {
        QTest::addColumn<bool>("download");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QStringList>("faults");
        QTest::newRow("download") << true << false << QStringList();
        QTest::newRow("upload") << false << false << QStringList();
        // What the server got of a broken upload counts, however the TLS layer hands the
        // body over; curl sends it again on a new connection, and that counts too.
        QTest::newRow("upload over TLS, broken first")
            << false << true << QStringList{"--fault", "close-after=1000000@up#1"};
    }

    void deadlineCutsTheRequestInFlight()
    {
        QFETCH(bool, download);
        QFETCH(bool, tls);
        QFETCH(QStringList, faults);
        // At 20 Mbit/s neither a 40 MB download nor the 4 MB upload body fits in the second.
        QVERIFY(prepare(
            faults + QStringList{download ? "--down-rate" : "--up-rate", "2500000"},
            [&](SpeedTestConfig &config) { config.downloadSteps = {download ? 40000000 : 100000}; },
            tls));
        m_engine->start();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(m_run.result);
        const double measured = download ? m_run.result->down() : m_run.result->up();
        // Bytes counted without their time, or uploaded bytes still on their way, would take
        // the measure above the pace.
        QVERIFY2(qAbs(measured / 20 - 1) < 0.05, qPrintable(QString::number(measured)));
        const SpeedServerProcess::Log log = m_server->stop();
        QVERIFY(download ? log.down < 40000000 : log.up < 4000000);
        // An upload opens with two blocks.
        QCOMPARE(SpeedServerProcess::count(log.requests, download ? "GET" : "POST"),
                 (download ? 1 : 2) + (faults.isEmpty() ? 0 : 1));
        // After a download cut in flight, a probe waits out what it left on the link before
        // the upload's clock starts.
        QCOMPARE(SpeedServerProcess::count(log.requests, "HEAD"), download ? 6 : 5);
    }

    void uploadStopsAfterARequestThatSentNothing()
    {
        QVERIFY(prepare({"--up-rate", "1000000"},
                        [](SpeedTestConfig &config) { config.uploadBudget = 60; }));
        m_engine->start();
        // Late enough in the phase for its rate to count; the request in flight then breaks
        // off and the next one finds nobody listening.
        QTRY_VERIFY_WITH_TIMEOUT(m_run.count(Phase::upload) >= 2, finishWithinMs);
        // The two blocks the upload opens with.
        QCOMPARE(SpeedServerProcess::count(m_server->requests(), "POST"), 2);
        m_server->stop();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(m_run.result && m_run.result->up() > 0);
        QCOMPARE(m_engine->phase(), Phase::idle);
    }

    // The next request is under way before the current one ends: a server that waits 50 ms
    // before each answer never leaves the link idle between two of them.
    void nextRequestOverlapsTheCurrent_data()
    {
        QTest::addColumn<bool>("download");
        QTest::newRow("download") << true;
        QTest::newRow("upload") << false;
    }

    void nextRequestOverlapsTheCurrent()
    {
        QFETCH(bool, download);
        // 160 Mbit/s: each 4 MB request takes 200 ms.
        QVERIFY(prepare(
            {"--delay", "50", "--log-times", download ? "--down-rate" : "--up-rate", "20000000"},
            [&](SpeedTestConfig &config) {
                config.downloadSteps = {4000000};
                config.downloadLimit = 400000000;
                config.downloadBudget = download ? 1.5 : 0;
                config.uploadBudget = download ? 0 : 1.5;
            }));
        m_engine->start();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        m_server->stop();
        QList<SpeedServerProcess::Times> times = m_server->times(download ? "GET" : "POST");
        // Those cut at the deadline before their body began moved nothing.
        times.removeIf([](const SpeedServerProcess::Times &request) { return request.start == 0; });
        QVERIFY2(times.size() >= 4, qPrintable(QString::number(times.size())));
        std::ranges::sort(times, {}, &SpeedServerProcess::Times::start);
        for (qsizetype i = 1; i < times.size(); ++i) {
            // One after the other, each would wait its 50 ms and a round trip.
            const qint64 gapUs = times[i].start - times[i - 1].end;
            QVERIFY2(gapUs < 35000, qPrintable(QString("request %1: %2 us").arg(i).arg(gapUs)));
        }
        QVERIFY(m_run.result);
        const double measured = download ? m_run.result->down() : m_run.result->up();
        QVERIFY2(measured > 160 * 0.9, qPrintable(QString::number(measured)));
    }

    // A server that holds each connection to 20 Mbit/s: one stream cannot pass it, so the
    // engine opens more and reaches more; a link that one stream fills keeps one.
    void streamsAddedWhileTheyAddToTheRate_data()
    {
        QTest::addColumn<bool>("download");
        QTest::addColumn<QString>("limit");
        QTest::addColumn<int>("streams"); // 0: more than two
        QTest::newRow("download, limit per connection") << true << "--connection-rate" << 0;
        QTest::newRow("upload, limit per connection") << false << "--connection-rate" << 0;
        QTest::newRow("download, one link") << true << "--down-rate" << 1;
        QTest::newRow("upload, one link") << false << "--up-rate" << 1;
    }

    void streamsAddedWhileTheyAddToTheRate()
    {
        QFETCH(bool, download);
        QFETCH(QString, limit);
        QFETCH(int, streams);
        QVERIFY(prepare({limit, "2500000"}, [&](SpeedTestConfig &config) {
            config.downloadSteps = {2000000};
            config.downloadLimit = 400000000;
            config.maxStreamsDown = config.maxStreamsUp = 4;
            config.downloadBudget = download ? 2 : 0;
            config.uploadBudget = download ? 0 : 2;
        }));
        m_engine->start();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(m_run.result);
        const Phase phase = download ? Phase::download : Phase::upload;
        const double measured = download ? m_run.result->down() : m_run.result->up();
        const int kept = m_engine->streams(phase);
        const QString seen = QString("%1 Mbit/s on %2 streams").arg(measured).arg(kept);
        if (streams == 0) {
            QVERIFY2(kept > 2 && measured > 2 * 20, qPrintable(seen));
        } else {
            // A trial may pay off by chance on a busy machine, never twice.
            QVERIFY2(kept <= streams + 1 && qAbs(measured / 20 - 1) < 0.05, qPrintable(seen));
        }
    }

    void cancelWithSeveralStreamsInFlight_data()
    {
        QTest::addColumn<Phase>("phase");
        QTest::newRow("download") << Phase::download;
        QTest::newRow("upload") << Phase::upload;
    }

    void cancelWithSeveralStreamsInFlight()
    {
        QFETCH(Phase, phase);
        QVERIFY(prepare({"--connection-rate", "2500000"}, [&](SpeedTestConfig &config) {
            config.downloadSteps = {50000000};
            config.downloadLimit = 400000000;
            config.downloadBudget = phase == Phase::download ? 60 : 0;
            config.uploadBudget = 60;
            config.maxStreamsDown = config.maxStreamsUp = 4;
        }));
        m_engine->start();
        QTRY_VERIFY_WITH_TIMEOUT(m_engine->phase() == phase && m_engine->requestsInFlight() >= 3,
                                 finishWithinMs);
        m_engine->cancel();
        QCOMPARE(m_run.finished, 0);
        // Every request in flight is cut at once, not left to finish.
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, 2000);
        QVERIFY(!m_run.result);
        QCOMPARE(m_engine->requestsInFlight(), 0);
        QCOMPARE(SpeedHistory::all().size(), 0);
        // Nothing more is asked once cancelled.
        const int asked = int(m_server->requests().size());
        QVERIFY(fetched(m_server->origin() + "/__down?bytes=0", "HEAD").outcome.ok);
        QCOMPARE(m_server->requests().size(), asked + 1);
    }

    // One stream's request breaks or is refused while others run: its bytes count, the
    // others go on to the deadline.
    void streamFailingMidPhase_data()
    {
        QTest::addColumn<bool>("download");
        QTest::addColumn<QString>("fault");
        QTest::newRow("download broken") << true << "close-after=300000@down#1+2";
        QTest::newRow("download refused") << true << "status=503@down#1+2";
        // Two uploads are broken: curl sends a request broken early on a reused connection
        // again on a new one, and that second try must fail too for the failure to show.
        QTest::newRow("upload broken") << false << "close-after=300000@up#2+1";
        QTest::newRow("upload refused") << false << "status=500@up#1+1";
    }

    void streamFailingMidPhase()
    {
        QFETCH(bool, download);
        QFETCH(QString, fault);
        QVERIFY(prepare({"--connection-rate", "2500000", "--fault", fault},
                        [&](SpeedTestConfig &config) {
                            config.downloadSteps = {1000000};
                            config.downloadLimit = 400000000;
                            config.maxStreamsDown = config.maxStreamsUp = 4;
                            config.downloadBudget = download ? 2 : 0;
                            config.uploadBudget = download ? 0 : 2;
                        }));
        m_engine->start();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(m_run.result);
        const double measured = download ? m_run.result->down() : m_run.result->up();
        QVERIFY2(measured > 1.5 * 20, qPrintable(QString::number(measured)));
        QVERIFY(m_engine->lastFailure());
        // The phase went on after the failure, on the other streams, to its deadline.
        const QStringList requests = m_server->stop().requests;
        QVERIFY(SpeedServerProcess::count(requests, download ? "GET" : "POST") > 4);
    }
};

TACHORA_TEST_CORE_MAIN(TestEngine)
#include "tst_engine.moc"
