#include "TestSupport.h"

#include "SpeedServerProcess.h"

#include "engine/LoadedLatencyProbe.h"
#include "engine/Responsiveness.h"
#include "engine/SpeedTestEngine.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"
#include "settings/SpeedHistory.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <memory>

using namespace std::chrono_literals;
using Result = SpeedTestEngine::Result;
using Grade = Responsiveness::Grade;

namespace {

constexpr int finishWithinMs = 15000;

QString gradeText(std::optional<Grade> grade)
{
    return grade ? Responsiveness::gradeText(*grade) : QStringLiteral("none");
}

// The latencies of a result, absent ones as -1, to compare at once.
QList<double> latencies(const Result &result)
{
    return {result.loadedLatencyDown().value_or(-1), result.loadedLatencyUp().value_or(-1),
            result.jitter().value_or(-1)};
}

QByteArray storedHistory()
{
    return PreferencesStore::shared().data(PreferenceKeys::history).value_or(QByteArray());
}

} // namespace

class TestLatency : public QObject
{
    Q_OBJECT

    std::unique_ptr<SpeedServerProcess> m_server;

    bool serve(const QStringList &arguments)
    {
        m_server = std::make_unique<SpeedServerProcess>();
        return m_server->start(arguments);
    }

    // One test against the server, with phases long enough for a few probes after their
    // untimed start; its result, or none.
    std::optional<Result> runTest(SpeedTestEngine &engine)
    {
        int finished = 0;
        std::optional<Result> result;
        engine.onFinished = [&](std::optional<Result> value) {
            ++finished;
            result = value;
        };
        engine.start();
        [&] { QTRY_COMPARE_WITH_TIMEOUT(finished, 1, finishWithinMs); }();
        return result;
    }

    SpeedTestConfig loadedConfig() const
    {
        SpeedTestConfig config;
        config.host = m_server->origin();
        config.downloadBudget = config.uploadBudget = 1.2;
        config.downloadSteps = {100000000};
        config.pingTimeout = 2s;
        config.downloadTimeout = config.uploadTimeout = 30s;
        config.loadedLatency = {100ms, 300ms};
        return config;
    }

private slots:
    void init() { PreferencesStore::shared().remove(PreferenceKeys::history); }
    void cleanup() { m_server.reset(); }

    // Each bound belongs to the grade above it.
    void gradeTable_data()
    {
        QTest::addColumn<double>("increase");
        QTest::addColumn<QString>("grade");
        const std::pair<double, const char *> rows[] = {{-20, "A+"},     {0, "A+"},
                                                        {4.99, "A+"},    {5, "A"},
                                                        {29.99, "A"},    {30, "B"},
                                                        {59.99, "B"},    {60, "C"},
                                                        {199.99, "C"},   {200, "D"},
                                                        {399.99, "D"},   {400, "F"},
                                                        {HUGE_VAL, "F"}, {std::nan(""), "none"}};
        for (const auto &[increase, grade] : rows)
            QTest::addRow("%g ms", increase) << increase << QString(grade);
    }

    void gradeTable()
    {
        QFETCH(double, increase);
        QTEST(gradeText(Responsiveness::gradeForIncrease(increase)), "grade");
    }

    void gradeOfATest()
    {
        // The larger increase counts; one loaded latency is enough; none gives no grade.
        QCOMPARE(gradeText(Responsiveness::grade(10, 20, 80)), "C");
        QCOMPARE(gradeText(Responsiveness::grade(10, 80, 20)), "C");
        QCOMPARE(gradeText(Responsiveness::grade(10, std::nullopt, 14.9)), "A+");
        QCOMPARE(gradeText(Responsiveness::grade(10, 400, std::nullopt)), "D");
        QCOMPARE(gradeText(Responsiveness::grade(10, std::nullopt, std::nullopt)), "none");
        QCOMPARE(gradeText(Result(0, 1, 1, 12, {std::nullopt, std::nullopt, 3}).grade()), "none");
        QCOMPARE(Responsiveness::jitter({}), std::nullopt);
        QCOMPARE(Responsiveness::jitter({12}), std::nullopt);
        QCOMPARE(Responsiveness::jitter({10, 12, 11, 15}), 7.0 / 3);
    }

    // The new values are stored only when measured, so a result without them is stored as
    // before; old entries read as before, with nothing measured; a latency that makes no
    // sense reads as not measured without losing the result.
    void historyBothWays()
    {
        const Result measured(1, 2, 3, 4, {85.5, 120.25, 2.125});
        const Result plain(5, 6, 7, 8, {std::nullopt, std::nullopt, 0.5});
        SpeedHistory::add(plain);
        QCOMPARE(QJsonDocument::fromJson(storedHistory()).array()[0].toObject().keys(),
                 (QStringList{"date", "down", "jitter", "ping", "up"}));
        SpeedHistory::add(measured);
        const QJsonObject stored = QJsonDocument::fromJson(storedHistory()).array()[0].toObject();
        QCOMPARE(stored.value("loadedLatencyUp").toDouble(), 120.25);
        const QList<Result> history = SpeedHistory::all();
        QCOMPARE(history.size(), 2);
        QCOMPARE(latencies(history[0]), (QList<double>{85.5, 120.25, 2.125}));
        QCOMPARE(latencies(history[1]), (QList<double>{-1, -1, 0.5}));

        PreferencesStore::shared().setData(
            PreferenceKeys::history,
            R"([{"date":1,"down":2,"up":3,"ping":4},)"
            R"({"date":1,"down":2,"up":3,"ping":4,"jitter":"2","loadedLatencyDown":-1,)"
            R"("loadedLatencyUp":null}])");
        const QList<Result> old = SpeedHistory::all();
        QCOMPARE(old.size(), 2);
        for (const Result &result : old) {
            QCOMPARE(latencies(result), (QList<double>{-1, -1, -1}));
            QCOMPARE(result.grade(), std::nullopt);
            QCOMPARE(result.toJson()->size(), 4);
        }
    }

    // The probes of a phase: none in its first part, one at a time at most every interval,
    // the one cut at the end dropped, also when its answer comes later.
    void probeTimingAndDropping()
    {
        // The opening probe and the first three of the phase are answered 150 ms late.
        QVERIFY(serve({"--fault", "delay=150@head#4"}));
        LoadedLatencyProbe probe(
            {}, {"HEAD", (m_server->origin() + "/__down?bytes=0").toUtf8(), 5s, {}},
            {100ms, 200ms});
        QVERIFY(probe.fitsIn(0.21) && !probe.fitsIn(0.2));
        QCoro::waitFor(probe.open());
        QCOMPARE(SpeedServerProcess::count(m_server->requests(), "HEAD"), 1);
        probe.start(LoadedLatencyProbe::Clock::now());
        QVERIFY(probe.isProbing());
        QTRY_COMPARE_WITH_TIMEOUT(probe.sendTimes().size(), 3, finishWithinMs);
        // Two answered: too few for a value.
        QCOMPARE(probe.stop(), std::nullopt);
        const QList<double> slow = probe.samples();
        QCOMPARE(slow.size(), 2);
        QVERIFY2(probe.sendTimes()[0] >= 0.2, qPrintable(QString::number(probe.sendTimes()[0])));
        for (qsizetype i = 0; i < 2; ++i) {
            QVERIFY2(slow[i] >= 150, qPrintable(QString::number(slow[i])));
            // Never overlapped: each probe waited for the answer before it.
            QVERIFY(probe.sendTimes()[i + 1] - probe.sendTimes()[i] >= slow[i] / 1000);
        }

        // Opened again over a fresh connection; the probe cut before has long been answered or
        // closed, and never counted.
        QCoro::waitFor(probe.open());
        QCOMPARE(probe.samples(), slow);
        probe.start(LoadedLatencyProbe::Clock::now());
        QTRY_VERIFY_WITH_TIMEOUT(probe.samples().size() >= 4, finishWithinMs);
        const std::optional<double> median = probe.stop();
        QVERIFY(median && *median < 150);
        const QList<double> sent = probe.sendTimes();
        for (qsizetype i = 1; i < sent.size(); ++i)
            QVERIFY2(sent[i] - sent[i - 1] >= 0.099,
                     qPrintable(QString::number(sent[i] - sent[i - 1])));
        QVERIFY(!probe.isProbing());
    }

    // Loaded probes answered 100 ms late, idle ones at once but for the first, which also
    // opens the connection and is not part of the jitter.
    void engineMeasuresUnderLoad()
    {
        QVERIFY(
            serve({"--down-rate", "2500000", "--up-rate", "2500000", "--fault", "delay=300@head#1",
                   "--fault", "delay=0@head#4", "--fault", "delay=100@head"}));
        SpeedTestEngine engine(loadedConfig());
        const std::optional<Result> result = runTest(engine);
        QVERIFY(result && result->down() > 0 && result->up() > 0);
        QVERIFY2(result->ping() < 50, qPrintable(QString::number(result->ping())));
        QVERIFY2(result->jitter() && *result->jitter() < 20,
                 qPrintable(QString::number(result->jitter().value_or(-1))));
        for (const std::optional<double> loaded :
             {result->loadedLatencyDown(), result->loadedLatencyUp()})
            QVERIFY2(loaded && *loaded >= 100 && *loaded < 200,
                     qPrintable(QString::number(loaded.value_or(-1))));
        QCOMPARE(gradeText(result->grade()), "C");
        QCOMPARE(latencies(SpeedHistory::all().value(0, Result(0, 0, 0, 0))), latencies(*result));
        // The probes' connection opens before each phase, not within it.
        const QStringList requests = m_server->stop().requests;
        QCOMPARE(requests.mid(5, 2),
                 (QStringList{"HEAD /__down?bytes=0", "GET /__down?bytes=100000000"}));
        QVERIFY(SpeedServerProcess::count(requests, "HEAD") >= 5 + 2 + 6);
    }

    void failedProbesNeverFailTheTest()
    {
        // Every probe after the idle ones goes unanswered, the opening ones too.
        QVERIFY(serve({"--down-rate", "2500000", "--up-rate", "2500000", "--fault",
                       "delay=0@head#5", "--fault", "close-after=0@head"}));
        SpeedTestEngine engine(loadedConfig());
        const std::optional<Result> result = runTest(engine);
        QVERIFY(result && result->down() > 0 && result->up() > 0);
        QCOMPARE(result->loadedLatencyDown(), std::nullopt);
        QCOMPARE(result->loadedLatencyUp(), std::nullopt);
        QCOMPARE(result->grade(), std::nullopt);
        QVERIFY(result->jitter());
        QCOMPARE(SpeedHistory::all().size(), 1);
    }

    void cancelWhileTheProbesOpen()
    {
        QVERIFY(serve({"--fault", "delay=0@head#5", "--fault", "stall@head"}));
        SpeedTestConfig config = loadedConfig();
        config.pingTimeout = 60s;
        SpeedTestEngine engine(config);
        int finished = 0;
        engine.onFinished = [&](std::optional<Result> result) { finished += result ? 10 : 1; };
        engine.start();
        QTRY_COMPARE_WITH_TIMEOUT(SpeedServerProcess::count(m_server->requests(), "HEAD"), 6,
                                  finishWithinMs);
        engine.cancel();
        QTRY_COMPARE_WITH_TIMEOUT(finished, 1, 5000);
        QCOMPARE(SpeedServerProcess::count(m_server->stop().requests, "GET"), 0);
    }
};

TACHORA_TEST_CORE_MAIN(TestLatency)
#include "tst_latency.moc"
