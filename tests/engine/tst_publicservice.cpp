// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"

#include "SpeedServerProcess.h"

#include "engine/SpeedTestEngine.h"
#include "engine/TestFailure.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"
#include "settings/ResultTexts.h"

using namespace std::chrono_literals;
using Phase = SpeedTestEngine::Phase;

// The engine against a server that answers as the public speed-test service does today: it
// refuses large downloads to clients that are not browsers, and bounds what it takes of an
// upload.
class TestPublicService : public QObject
{
    Q_OBJECT

    std::unique_ptr<SpeedServerProcess> m_server;
    std::unique_ptr<SpeedTestEngine> m_engine;
    std::optional<SpeedTestEngine::Result> m_result;
    SpeedServerProcess::Log m_log;

    // Runs one test with the production sizes and these budgets (0 skips a phase) against a
    // server with these arguments; false when the server did not come up or the test did not
    // end in time.
    bool run(const QStringList &arguments, double downloadBudget, double uploadBudget = 0)
    {
        m_server = std::make_unique<SpeedServerProcess>();
        if (!m_server->start(arguments))
            return false;
        SpeedTestConfig config;
        config.host = m_server->origin();
        config.downloadBudget = downloadBudget;
        config.uploadBudget = uploadBudget;
        config.maxStreamsDown = config.maxStreamsUp = 4;
        config.pingTimeout = 1s;
        config.downloadTimeout = config.uploadTimeout = 30s;
        m_engine = std::make_unique<SpeedTestEngine>(config);
        bool finished = false;
        m_engine->onFinished = [&](std::optional<SpeedTestEngine::Result> result) {
            m_result = result;
            finished = true;
        };
        m_engine->start();
        const bool inTime = TestSupport::waitFor([&] { return finished; }, 15000);
        m_log = m_server->stop();
        return inTime;
    }

private slots:
    void init() { PreferencesStore::shared().remove(PreferenceKeys::history); }

    // Every size stays below the service's bound; one it refuses above a size it served is a
    // limit: the stream goes on below it, refused once at most, and the phase reads the
    // link's rate. 400 Mbit/s: a fast stream's second request asks for the largest size.
    void downloadSizesTheServiceTakes_data()
    {
        TestSupport::addBoolRows("limited", "today's rule", "a tighter rule");
    }

    void downloadSizesTheServiceTakes()
    {
        QFETCH(bool, limited);
        const QStringList cap = limited ? QStringList{"--size-cap", "30000000"} : QStringList();
        QVERIFY(run(QStringList{"--public-rules", "--down-rate", "50000000"} + cap, 1.2));
        QVERIFY(m_result);
        qint64 largest = 0;
        for (const QString &line : m_log.requests.filter("GET /__down?bytes="))
            largest = std::max(largest, line.section(u'=', 1).toLongLong());
        // The downloads the server refused by its rule, as it counts them.
        const QStringList refusal = m_log.requests.filter(QRegularExpression("^refused \\d+$"));
        const int refused = refusal.size() == 1 ? refusal.first().section(u' ', 1).toInt() : -1;
        const int streams = m_engine->streams(Phase::download);
        const QString seen = QString::asprintf("%g Mbit/s, %d refused, largest %lld, %d streams",
                                               m_result->down(), refused, largest, streams);
        QVERIFY2(largest < 100000000 && qAbs(m_result->down() / 400 - 1) < 0.1, qPrintable(seen));
        QVERIFY2(limited ? refused >= 1 && refused <= streams : refused == 0, qPrintable(seen));
        QVERIFY(!m_engine->report(Phase::download).failure);
        // What it cost is stored with it, and said as the window's note says it.
        const auto stored =
            SpeedTestEngine::Result::fromJson(m_result->toJson().value_or(QJsonObject()));
        QVERIFY(stored && stored->bytesDown() == m_engine->report(Phase::download).bytes);
        QCOMPARE(stored->bytes(), stored->bytesDown());
        QCOMPARE(ResultTexts::volumeText(1449999999) + ResultTexts::volumeText(12400000000)
                     + ResultTexts::volumeText(999499999) + ResultTexts::volumeText(2600),
                 "1,4 Go12 Go999 Mo3 ko");
    }

    // Each upload names its size; the server's word on what it accepted bounds the count.
    void uploadSaysItsSize()
    {
        // Two blocks accepted, a million bytes each, then every block refused.
        QVERIFY(run(
            {"--up-rate", "20000000", "--fault", "accept=1000000@up#2", "--fault", "status=500@up"},
            0, 3));
        const QStringList posts = m_log.requests.filter("POST");
        QVERIFY(!posts.isEmpty());
        QCOMPARE(posts.filter("POST /__up?bytes=4000000").size(), posts.size());
        const qint64 counted = m_engine->report(Phase::upload).bytes;
        QCOMPARE_GE(counted, 2000000);
        QCOMPARE_LT(counted, 3000000);
    }

    // A refusal of the test itself says so, with its status; a first download refused at its
    // smallest size fails the test as before.
    void wholeRefusal_data()
    {
        TestSupport::addColumns<QStringList, QString, int>("arguments", "failure", "status");
        QTest::newRow("every size refused")
            << QStringList{"--public-rules", "--size-cap", "1"} << "refused" << 403;
        QTest::newRow("rate limited") << QStringList{"--fault", "status=429"} << "refused" << 429;
        QTest::newRow("server error")
            << QStringList{"--fault", "status=503@down"} << "status" << 503;
        QTest::newRow("no server") << QStringList{"--fault", "refuse"} << "connection" << 0;
    }

    void wholeRefusal()
    {
        const auto [arguments, failure, status] =
            TestSupport::fetch<QStringList, QString, int>("arguments", "failure", "status");
        QVERIFY(run(arguments, 1));
        QVERIFY(!m_result);
        const TestFailure found = TestFailure::of(*m_engine);
        QCOMPARE(found.name(), failure);
        QCOMPARE(found.status, status);
        QCOMPARE(ResultTexts::refusalText(found).isEmpty(), failure != "refused");
        QCOMPARE(SpeedServerProcess::count(m_log.requests, "GET"), status == 0 ? 0 : 1);
    }
};

TACHORA_TEST_CORE_MAIN(TestPublicService)
#include "tst_publicservice.moc"
