#include "TestSupport.h"

#include "SpeedServerProcess.h"

#include "engine/SpeedTestEngine.h"
#include "engine/SpeedTestMath.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"
#include "settings/SpeedHistory.h"

#include <QTemporaryDir>

#include <csignal>
#include <memory>

using namespace std::chrono_literals;
using Phase = SpeedTestEngine::Phase;
using Result = SpeedTestEngine::Result;

namespace {

// Everything one engine reported during one test.
struct Recorder
{
    QList<std::pair<Phase, double>> reports;
    // Seconds since the phase began, for every throughput report.
    QList<double> reportAges;
    int finished = 0;
    std::optional<Result> result;
    bool runningInFinish = true;
    Phase phaseInFinish = Phase::ping;
    int historyInFinish = -1;

    int count(Phase phase) const
    {
        return int(std::count_if(reports.begin(), reports.end(),
                                 [phase](const auto &report) { return report.first == phase; }));
    }
};

SpeedTestConfig smallConfig(const QString &origin)
{
    SpeedTestConfig config;
    config.host = origin;
    config.downloadBudget = 1.0;
    config.uploadBudget = 1.0;
    config.downloadSteps = {200000, 1000000, 4000000};
    config.pingTimeout = 1s;
    config.downloadTimeout = 2s;
    config.uploadTimeout = 2s;
    return config;
}

// Waits long enough for any test of these tests, far below the time budgets of the
// cancellation cases, which would otherwise run for 20 seconds.
constexpr int finishWithinMs = 15000;

} // namespace

class TestEngine : public QObject
{
    Q_OBJECT

    std::unique_ptr<SpeedTestEngine> m_engine;
    Recorder m_run;

    SpeedTestEngine &makeEngine(const SpeedTestConfig &config)
    {
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
            m_run.runningInFinish = engine->isRunning();
            m_run.phaseInFinish = engine->phase();
            m_run.historyInFinish = int(SpeedHistory::all().size());
        };
        return *engine;
    }

private slots:
    void init() { PreferencesStore::shared().remove(PreferenceKeys::history); }

    void cleanup()
    {
        if (m_engine && m_engine->isRunning()) {
            m_engine->cancel();
            QTRY_VERIFY_WITH_TIMEOUT(!m_engine->isRunning(), finishWithinMs);
        }
        m_engine.reset();
    }

    void medianRule_data()
    {
        QTest::addColumn<QList<double>>("samples");
        QTest::addColumn<double>("median");
        QTest::newRow("five") << QList<double>{30, 12, 14, 13, 90} << 14.0;
        QTest::newRow("four: the larger middle one") << QList<double>{12, 13, 14, 30} << 14.0;
        QTest::newRow("three") << QList<double>{12, 30, 13} << 13.0;
        QTest::newRow("two") << QList<double>{12, 13} << -1.0;
        QTest::newRow("none") << QList<double>{} << -1.0;
    }

    void medianRule()
    {
        QFETCH(QList<double>, samples);
        QFETCH(double, median);
        const auto latency = SpeedTestMath::medianLatency(samples);
        QCOMPARE(latency.value_or(-1.0), median);
    }

    void rateRule_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<double>("mbps");
        QTest::newRow("all five steps in 6 s")
            << qint64(1255000000) << 6.0 << 1255000000 * 8.0 / 6e6;
        QTest::newRow("5 MB in 8 s") << qint64(5000000) << 8.0 << 5.0;
        QTest::newRow("no byte") << qint64(0) << 5.0 << 0.0;
        QTest::newRow("0.4 s exactly") << qint64(1000000) << 0.4 << 0.0;
        QTest::newRow("just above 0.4 s") << qint64(1) << 0.41 << 8 / 0.41 / 1e6;
        QTest::newRow("no time at all") << qint64(1000) << 0.0 << 0.0;
    }

    void rateRule()
    {
        QFETCH(qint64, bytes);
        QFETCH(double, seconds);
        QFETCH(double, mbps);
        QCOMPARE(SpeedTestMath::rate(bytes, seconds), mbps);
    }

    void originFromText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("origin");
        const char *table[][2] = {
            {"https://speed.example.net", "https://speed.example.net"},
            {"http://127.0.0.1:8080/", "http://127.0.0.1:8080"},
            {"http://[::1]:9000", "http://[::1]:9000"},
            {"127.0.0.1:8080", ""},
            {"ftp://example.net", ""},
            {"file:///etc/passwd", ""},
            {"http://example.net/speed", ""},
            {"http://example.net?x=1", ""},
            {"http://example.net:99999", ""},
            {"", ""},
        };
        for (const auto &[text, origin] : table)
            QTest::addRow("'%s'", text) << QString(text) << QString(origin);
    }

    void originFromText()
    {
        QFETCH(QString, text);
        QFETCH(QString, origin);
        QCOMPARE(SpeedTestConfig::originFrom(text).value_or(QString()), origin);
    }

    void uploadChunkIsOneRandomBlock()
    {
        const QByteArray &chunk = SpeedTestEngine::uploadChunk();
        QCOMPARE(chunk.size(), 4000000);
        QCOMPARE(SpeedTestEngine::uploadChunk().constData(), chunk.constData());
        QVERIFY(chunk.count('\0') < chunk.size() / 100);
    }

    void fullTestReportsInOrderAndStoresItsResult()
    {
        SpeedServerProcess server;
        // Paced so that both phases run into their deadline and report on the way.
        QVERIFY(server.start({"--down-rate", "25000000", "--up-rate", "25000000"}));
        SpeedTestConfig config = smallConfig(server.origin());
        config.downloadSteps = {100000000};
        SpeedTestEngine &engine = makeEngine(config);

        engine.cancel();
        QVERIFY(!engine.isRunning());
        engine.start();
        QVERIFY(engine.isRunning());
        QCOMPARE(engine.phase(), Phase::idle);
        engine.start();
        QTRY_VERIFY_WITH_TIMEOUT(m_run.count(Phase::download) > 0, finishWithinMs);
        engine.start();
        QVERIFY(engine.isTicking());
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);

        QVERIFY(m_run.result);
        QVERIFY(!m_run.runningInFinish);
        QCOMPARE(m_run.phaseInFinish, Phase::idle);
        QCOMPARE(m_run.historyInFinish, 1);
        QVERIFY(!engine.isTicking());
        QCOMPARE(SpeedHistory::all().constFirst().date(), m_run.result->date());
        QVERIFY(m_run.result->down() > 0);
        QVERIFY(m_run.result->up() > 0);
        QVERIFY(m_run.result->ping() >= 0);

        QCOMPARE(m_run.reports.constFirst(), std::pair(Phase::ping, 0.0));
        QCOMPARE(m_run.count(Phase::ping), 1);
        QCOMPARE(m_run.count(Phase::idle), 0);
        QVERIFY(m_run.count(Phase::upload) > 0);
        for (qsizetype i = 1; i < m_run.reports.size(); ++i)
            QVERIFY(m_run.reports[i - 1].first <= m_run.reports[i].first);
        for (double age : std::as_const(m_run.reportAges))
            QVERIFY2(age > 0.3, qPrintable(QString::number(age)));

        const QStringList requests = server.stop().requests;
        QCOMPARE(requests.mid(0, 5), QStringList(5, "HEAD /__down?bytes=0"));
        QCOMPARE(requests.at(5), QStringLiteral("GET /__down?bytes=100000000"));
        QCOMPARE(SpeedServerProcess::count(requests, "GET"), 1);
        QVERIFY(requests.constLast() == QStringLiteral("POST /__up"));
    }

    void cancelDuringLatencyLetsTheProbeEnd()
    {
        SpeedServerProcess server;
        QVERIFY(server.start({"--delay", "600"}));
        SpeedTestEngine &engine = makeEngine(smallConfig(server.origin()));
        engine.start();
        QTRY_COMPARE_WITH_TIMEOUT(SpeedServerProcess::count(server.requests(), "HEAD"), 3,
                                  finishWithinMs);
        engine.cancel();
        engine.start();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(!m_run.result);
        QCOMPARE(m_run.reports, (QList<std::pair<Phase, double>>{{Phase::ping, 0.0}}));
        const QStringList requests = server.stop().requests;
        QCOMPARE(requests, QStringList(3, "HEAD /__down?bytes=0"));
        QCOMPARE(SpeedHistory::all().size(), 0);
    }

    void cancelDuringThroughput_data()
    {
        QTest::addColumn<Phase>("phase");
        QTest::newRow("download") << Phase::download;
        QTest::newRow("upload") << Phase::upload;
    }

    void cancelDuringThroughput()
    {
        QFETCH(Phase, phase);
        SpeedServerProcess server;
        QVERIFY(server.start({"--down-rate", "1000000", "--up-rate", "1000000"}));
        SpeedTestConfig config = smallConfig(server.origin());
        config.downloadBudget = phase == Phase::download ? 60 : 0.6;
        config.uploadBudget = 60;
        config.downloadSteps = {50000000};
        config.downloadTimeout = config.uploadTimeout = 30s;
        SpeedTestEngine &engine = makeEngine(config);
        engine.start();
        QTRY_VERIFY_WITH_TIMEOUT(m_run.count(phase) > 0, finishWithinMs);
        engine.cancel();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(!m_run.result);
        QCOMPARE(SpeedHistory::all().size(), 0);
        const QStringList requests = server.stop().requests;
        QCOMPARE(SpeedServerProcess::count(requests, "POST"), phase == Phase::download ? 0 : 1);
    }

    void latencyNotEstablishedEndsTheTest_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("three probes dropped") << QStringList{"--fault", "close-after=0@head#3"};
        QTest::newRow("connections refused") << QStringList{"--fault", "refuse"};
    }

    void latencyNotEstablishedEndsTheTest()
    {
        QFETCH(QStringList, arguments);
        SpeedServerProcess server;
        QVERIFY(server.start(arguments));
        SpeedTestEngine &engine = makeEngine(smallConfig(server.origin()));
        engine.start();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(!m_run.result);
        QCOMPARE(m_run.reports.size(), 1);
        QCOMPARE(engine.phase(), Phase::idle);
        const QStringList requests = server.stop().requests;
        QCOMPARE(SpeedServerProcess::count(requests, "GET"), 0);
        QCOMPARE(SpeedServerProcess::count(requests, "POST"), 0);
        QCOMPARE(SpeedHistory::all().size(), 0);
    }

    void errorAnswersCountAsProbesAndAStallTimesOut()
    {
        SpeedServerProcess server;
        QVERIFY(server.start({"--fault", "stall@head#1", "--fault", "status=503@head"}));
        SpeedTestEngine &engine = makeEngine(smallConfig(server.origin()));
        engine.start();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(m_run.result);
        QCOMPARE(SpeedServerProcess::count(server.stop().requests, "HEAD"), 5);
    }

    void emptyDownloadEndsThePhaseAndUploadAloneIsStored()
    {
        SpeedServerProcess server;
        QVERIFY(server.start({"--fault", "status=500@down"}));
        SpeedTestEngine &engine = makeEngine(smallConfig(server.origin()));
        engine.start();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(m_run.result);
        QCOMPARE(m_run.result->down(), 0.0);
        QVERIFY(m_run.result->up() > 0);
        QCOMPARE(SpeedHistory::all().size(), 1);
        QCOMPARE(SpeedHistory::all().constFirst().up(), m_run.result->up());
        const QStringList requests = server.stop().requests;
        QCOMPARE(SpeedServerProcess::count(requests, "GET"), 1);
    }

    void brokenDownloadCountsAndTheNextSizeFollows()
    {
        SpeedServerProcess server;
        // Paced so that the phase lasts long enough to measure.
        QVERIFY(server.start({"--fault", "close-after=100000@down#1", "--down-rate", "4000000"}));
        SpeedTestConfig config = smallConfig(server.origin());
        config.downloadSteps = {1000000, 3000000};
        config.downloadBudget = 5;
        config.uploadBudget = 0;
        SpeedTestEngine &engine = makeEngine(config);
        engine.start();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(m_run.result);
        QVERIFY(m_run.result->down() > 0);
        QCOMPARE(m_run.result->up(), 0.0);
        const SpeedServerProcess::Log log = server.stop();
        QCOMPARE(log.requests.mid(5),
                 (QStringList{"GET /__down?bytes=1000000", "GET /__down?bytes=3000000"}));
        QCOMPARE(log.down, 3100000);
    }

    void deadlineCutsTheRequestInFlight_data()
    {
        QTest::addColumn<Phase>("phase");
        QTest::newRow("download") << Phase::download;
        QTest::newRow("upload") << Phase::upload;
    }

    void deadlineCutsTheRequestInFlight()
    {
        QFETCH(Phase, phase);
        const qint64 limit = 2500000;
        SpeedServerProcess server;
        QVERIFY(server.start(
            {phase == Phase::download ? "--down-rate" : "--up-rate", QString::number(limit)}));
        SpeedTestConfig config = smallConfig(server.origin());
        config.downloadSteps = {phase == Phase::download ? 40000000 : 100000};
        config.downloadTimeout = config.uploadTimeout = 30s;
        SpeedTestEngine &engine = makeEngine(config);
        engine.start();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(m_run.result);
        const double measured =
            phase == Phase::download ? m_run.result->down() : m_run.result->up();
        const double limitMbps = limit * 8 / 1e6;
        qInfo("%s: %.2f Mbps measured with the server paced at %.2f Mbps",
              phase == Phase::download ? "download" : "upload", measured, limitMbps);
        QVERIFY(measured > 0);
        // Pacing only slows a transfer down, so only bytes counted without their time could
        // take the measure above the pace.
        if (phase == Phase::download)
            QVERIFY(measured < limitMbps * 1.05);
        const SpeedServerProcess::Log log = server.stop();
        if (phase == Phase::download) {
            QVERIFY(log.down < 40000000);
            QCOMPARE(SpeedServerProcess::count(log.requests, "GET"), 1);
        }
    }

    void uploadStopsAfterARequestThatSentNothing()
    {
        SpeedServerProcess server;
        QVERIFY(server.start({"--up-rate", "1000000"}));
        SpeedTestConfig config = smallConfig(server.origin());
        config.uploadBudget = 60;
        config.uploadTimeout = 30s;
        SpeedTestEngine &engine = makeEngine(config);
        engine.start();
        // Late enough in the phase for its rate to count; the request in flight then breaks
        // off and the next one finds nobody listening.
        QTRY_VERIFY_WITH_TIMEOUT(m_run.count(Phase::upload) >= 2, finishWithinMs);
        QCOMPARE(SpeedServerProcess::count(server.requests(), "POST"), 1);
        server.stop();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(m_run.result);
        QVERIFY(m_run.result->up() > 0);
        QCOMPARE(engine.phase(), Phase::idle);
    }

    void testsOverTls()
    {
        QTemporaryDir folder;
        QVERIFY(SpeedServerProcess::makeCertificate(folder.path()));
        SpeedServerProcess server;
        QVERIFY(server.start({"--cert", folder.filePath("cert.pem"), "--key",
                              folder.filePath("key.pem"), "--down-rate", "50000000"}));
        SpeedTestConfig config = smallConfig(server.origin());
        config.downloadSteps = {100000000};
        config.http.caFile = folder.filePath("cert.pem");
        config.downloadBudget = config.uploadBudget = 0.5;
        SpeedTestEngine &engine = makeEngine(config);
        engine.start();
        QTRY_COMPARE_WITH_TIMEOUT(m_run.finished, 1, finishWithinMs);
        QVERIFY(m_run.result);
        QVERIFY(m_run.result->down() > 0);
        QVERIFY(m_run.result->up() > 0);
    }
};

TACHORA_TEST_CORE_MAIN(TestEngine)
#include "tst_engine.moc"
