// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"

#include "SpeedServerProcess.h"

#include "engine/LoadedLatencyProbe.h"
#include "engine/Responsiveness.h"
#include "engine/SpeedTestEngine.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"
#include "settings/SpeedHistory.h"

using namespace std::chrono_literals;
using Result = SpeedTestEngine::Result;

namespace {

constexpr int finishWithinMs = 15000;

} // namespace

class TestLatency : public QObject
{
    Q_OBJECT

    std::unique_ptr<SpeedServerProcess> m_server;

    // A server with these arguments, and a config against it with phases long enough for a
    // few probes after their untimed start; none when the server did not come up.
    std::optional<SpeedTestConfig> serve(const QStringList &arguments)
    {
        m_server = std::make_unique<SpeedServerProcess>();
        if (!m_server->start(arguments))
            return std::nullopt;
        SpeedTestConfig config;
        config.host = m_server->origin();
        config.downloadBudget = config.uploadBudget = 0.8;
        config.downloadSteps = {100000000};
        config.loadedLatency = {100ms, 300ms};
        return config;
    }

    HttpRequest probeRequest() const
    {
        return {"HEAD", (m_server->origin() + "/__down?bytes=0").toUtf8(), 5s, {}};
    }

private slots:
    // The larger increase over the idle Ping of 10 ms counts, each bound belonging to the grade
    // above it; one loaded latency is enough, none gives no grade (-1: not measured).
    void grades_data()
    {
        TestSupport::addColumns<double, double, QString>("down", "up", "grade");
        const char *grades[] = {"A+", "A", "B", "C", "D", "F"};
        const double bounds[] = {5, 30, 60, 200, 400};
        for (int i = 0; i < 5; ++i) {
            QTest::addRow("%g ms", bounds[i] - 0.01) << -1.0 << 9.99 + bounds[i] << grades[i];
            QTest::addRow("%g ms", bounds[i]) << 10 + bounds[i] << -1.0 << grades[i + 1];
        }
        QTest::newRow("the larger") << 20.0 << 80.0 << "C";
        QTest::newRow("none") << -1.0 << -1.0 << "none";
    }

    void grades()
    {
        const auto [down, up] = TestSupport::fetch<double, double>("down", "up");
        const auto loaded = [](double ms) { return ms < 0 ? std::nullopt : std::optional(ms); };
        const auto grade = Responsiveness::grade(10, loaded(down), loaded(up));
        QTEST(grade ? Responsiveness::gradeText(*grade) : QString("none"), "grade");
    }

    void jitterOfTheIdleProbes()
    {
        QCOMPARE(Responsiveness::jitter({12}), std::nullopt);
        QCOMPARE(Responsiveness::jitter({10, 12, 11, 15}), 7.0 / 3);
    }

    // The new values are stored only when measured, so a result without them is stored as
    // before; old entries read as before, with nothing measured; a latency that makes no
    // sense reads as not measured without losing the result.
    void historyBothWays()
    {
        PreferencesStore::shared().setData(
            PreferenceKeys::history,
            R"([{"date":1,"down":2,"up":3,"ping":4},)"
            R"({"date":1,"down":2,"up":3,"ping":4,"jitter":"2","loadedLatencyDown":-1,)"
            R"("loadedLatencyUp":null}])");
        // The first result the history stores, as stored.
        const auto firstStored = [] {
            const auto stored = PreferencesStore::shared().data(PreferenceKeys::history);
            return QJsonDocument::fromJson(stored.value_or("")).array()[0].toObject();
        };
        SpeedHistory::add(Result(5, 6, 7, 8, {std::nullopt, std::nullopt, 0.5}));
        QCOMPARE(firstStored().keys(), (QStringList{"date", "down", "jitter", "ping", "up"}));
        SpeedHistory::add(Result(1, 2, 3, 4, {85.5, 120.25, 2.125}));
        QCOMPARE(firstStored().value("loadedLatencyUp").toDouble(), 120.25);
        // Absent ones as -1.
        QList<double> all;
        for (const Result &result : SpeedHistory::all())
            all << result.loadedLatencyDown().value_or(-1) << result.loadedLatencyUp().value_or(-1)
                << result.jitter().value_or(-1);
        QCOMPARE(all, (QList<double>{85.5, 120.25, 2.125, -1, -1, 0.5, -1, -1, -1, -1, -1, -1}));
        QCOMPARE(SpeedHistory::all().constLast().toJson()->size(), 4);
    }

    // The probes of a phase: none in its first part, one at a time at most every interval,
    // the one cut at the end dropped, also when its answer comes later.
    void probeTimingAndDropping()
    {
        // The opening probe and the first three of the phase are answered 150 ms late.
        QVERIFY(serve({"--fault", "delay=150@head#4"}));
        LoadedLatencyProbe probe({}, probeRequest(), {100ms, 200ms});
        QCoro::waitFor(probe.open());
        probe.start(LoadedLatencyProbe::Clock::now());
        QTRY_VERIFY_WITH_TIMEOUT(probe.sendTimes().size() >= 3, finishWithinMs);
        // Two answered: too few for a value.
        QCOMPARE(probe.stop(), std::nullopt);
        const QList<double> slow = probe.samples();
        QCOMPARE(slow.size(), 2);
        QCOMPARE_GE(probe.sendTimes()[0], 0.2);
        // Never overlapped: each probe waited for the answer before it.
        for (qsizetype i = 0; i < 2; ++i)
            QCOMPARE_GE(probe.sendTimes()[i + 1] - probe.sendTimes()[i], slow[i] / 1000);

        // Opened again over a fresh connection; the probe cut before has long been answered or
        // closed, and never counted.
        QCoro::waitFor(probe.open());
        QCOMPARE(probe.samples(), slow);
        probe.start(LoadedLatencyProbe::Clock::now());
        QTRY_VERIFY_WITH_TIMEOUT(probe.samples().size() >= 4, finishWithinMs);
        QCOMPARE_LT(probe.stop().value_or(150), 150);
        for (qsizetype i = 1; i < probe.sendTimes().size(); ++i)
            QCOMPARE_GE(probe.sendTimes()[i] - probe.sendTimes()[i - 1], 0.099);
    }

    // On a slow phase the probes go out less often than the interval asks, so that they take
    // only their share of the link; once the phase is fast the interval rules again.
    void probesSpacedOnASlowPhase()
    {
        QVERIFY(serve({}));
        double rate = 100000; // 500 bytes at 1 % of it: two probes a second
        LoadedLatencyProbe probe({}, probeRequest(), {20ms, 0ms, 500, 0.01});
        QCoro::waitFor(probe.open());
        probe.start(LoadedLatencyProbe::Clock::now(), [&rate] { return rate; });
        // Answered, so the next one is already timed by the slow rate.
        QTRY_COMPARE_WITH_TIMEOUT(probe.samples().size(), 1, finishWithinMs);
        rate = 2500000;
        QTRY_VERIFY_WITH_TIMEOUT(probe.sendTimes().size() >= 3, finishWithinMs);
        probe.stop();
        QCOMPARE_GE(probe.sendTimes()[1] - probe.sendTimes()[0], 0.49);
        QCOMPARE_LT(probe.sendTimes()[2] - probe.sendTimes()[1], 0.25);
    }

    // Loaded probes answered 100 ms late, or never; idle ones at once but for the first, which
    // also opens the connection and is not part of the jitter. A failed probe never fails the
    // test.
    void engineMeasuresUnderLoad_data()
    {
        TestSupport::addBoolRows("answered", "never answered", "answered late");
    }

    void engineMeasuresUnderLoad()
    {
        QFETCH(bool, answered);
        const auto config = serve({"--down-rate", "2500000", "--up-rate", "2500000", "--fault",
                                   "delay=150@head#1", "--fault", "delay=0@head#4", "--fault",
                                   answered ? "delay=100@head" : "close-after=0@head"});
        QVERIFY(config);
        SpeedTestEngine engine(*config);
        std::optional<Result> result;
        engine.onFinished = [&](std::optional<Result> value) { result = value; };
        engine.start();
        TACHORA_TRY_VERIFY(result.has_value(), finishWithinMs);
        QVERIFY(result->down() > 0 && result->up() > 0);
        QCOMPARE_LT(result->ping(), 50);
        QCOMPARE_LT(result->jitter().value_or(20), 20);
        QCOMPARE(result->grade(),
                 answered ? std::optional(Responsiveness::Grade::c) : std::nullopt);
        for (const auto ms : {result->loadedLatencyDown(), result->loadedLatencyUp()})
            QVERIFY2(answered ? ms >= 100 && ms < 200 : !ms,
                     qPrintable(QString::number(ms.value_or(-1))));
    }

    void cancelWhileTheProbesOpen()
    {
        // The connection of the download's probes opens before the phase: the stalled HEAD
        // that opens it comes before any GET.
        auto config = serve({"--fault", "delay=0@head#5", "--fault", "stall@head"});
        QVERIFY(config);
        config->pingTimeout = 60s;
        SpeedTestEngine engine(*config);
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
