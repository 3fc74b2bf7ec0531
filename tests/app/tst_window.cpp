#include "SpeedServerProcess.h"
#include "TestSupport.h"

#include "AppDelegate.h"
#include "MainWindow.h"

#include "live/LiveThroughputMonitor.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"
#include "settings/SpeedHistory.h"
#include "views/GaugeView.h"
#include "views/HistoryTable.h"
#include "views/ResultTile.h"

#include <QtWidgets>

using namespace std::chrono_literals;
using Result = SpeedTestEngine::Result;

// What the main window says in each state of a test: never a value that was not measured,
// never an earlier test's values as if they were the new one's.
class TestWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<SpeedServerProcess> m_server;
    std::unique_ptr<SpeedTestEngine> m_engine;
    LiveThroughputMonitor m_live{[] { return QList<InterfaceCounters::Interface>{}; }};
    std::unique_ptr<AppDelegate> m_app;
    bool m_tray = false;

    // Launches against a server started with these arguments, on short budgets.
    void launch(const QStringList &serverArguments)
    {
        m_server = std::make_unique<SpeedServerProcess>();
        QVERIFY(m_server->start(QStringList{"--down-rate", "2000000"} + serverArguments));
        SpeedTestConfig config;
        config.host = m_server->origin();
        config.downloadBudget = config.uploadBudget = 0.6;
        config.downloadSteps = {200000, 1000000};
        config.pingTimeout = 400ms;
        config.downloadTimeout = config.uploadTimeout = 3s;
        m_engine = std::make_unique<SpeedTestEngine>(config);
        AppSetup setup;
        setup.engine = m_engine.get();
        setup.live = &m_live;
        setup.serviceOrigin = "http://127.0.0.1:9";
        setup.trayAvailable = [this] { return m_tray; };
        setup.packageBus = QDBusConnection(QStringLiteral("tachora-no-bus"));
        m_app = std::make_unique<AppDelegate>(std::move(setup));
        m_app->applicationDidFinishLaunching();
    }

    template <class T>
    T *find(const char *name) const
    {
        return m_app->mainWindow()->findChild<T *>(name);
    }
    GaugeView *gauge() const { return find<GaugeView>("gauge"); }
    QString tile(const char *name) const { return find<ResultTile>(name)->valueLabel()->text(); }
    // The test button pressed, and the end of the test awaited.
    void runTest()
    {
        find<QPushButton>("testButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(find<QPushButton>("testButton")->text(), "Lancer le test", 20000);
    }

private slots:
    void init()
    {
        QFile::remove(PreferencesStore::shared().filePath());
        PreferencesStore::shared().setBool(PreferenceKeys::onboarded, true);
        m_tray = false;
    }

    void cleanup()
    {
        m_app.reset();
        m_server.reset();
    }

    // A phase that moved nothing shows no rate but its own cause; probes that timed out
    // before others answered do not explain phases that moved nothing.
    void phaseThatMovedNothing_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QString>("expected"); // caption|gauge number|down|up|history's dash
        QTest::newRow("upload refused")
            << QStringList{"status=403@up"}
            << "Montée impossible\u202F: le serveur a répondu HTTP 403|shown|rate|—|↑ —";
        QTest::newRow("download refused")
            << QStringList{"status=503@down"}
            << "Descente impossible\u202F: le serveur a répondu HTTP 503|none|—|rate|↓ —";
        QTest::newRow("late probes, then no download")
            << QStringList{"delay=1000@head#2", "stall@down"}
            << "Descente impossible|none|—|rate|↓ —";
    }

    void phaseThatMovedNothing()
    {
        QFETCH(QStringList, faults);
        QStringList arguments;
        for (const QString &fault : faults)
            arguments << "--fault" << fault;
        launch(arguments);
        runTest();
        const auto shown = [this](const char *name) {
            const QString text = tile(name);
            return text == ResultTile::noValue ? text : QStringLiteral("rate");
        };
        const QString history = find<HistoryTable>("historyTable")->text().section(u'\n', 0, 0);
        const QString dash = history.contains("↓ —") ? "↓ —" : history.contains("↑ —") ? "↑ —" : "";
        QTEST(QStringList({gauge()->caption(), gauge()->hasValue() ? "shown" : "none",
                           shown("downTile"), shown("upTile"), dash})
                  .join(u'|'),
              "expected");
    }

    // While a test runs and after it failed, the tiles keep the last result marked as an
    // earlier one; the latency phase shows no rate; a new result clears the mark.
    void previousResultMarked()
    {
        const QDateTime time(QDate::currentDate(), QTime(15, 51));
        SpeedHistory::add(Result(Result::dateFrom(time), 93.4, 12.04, 20));
        // The first test's probes all go unanswered; the second's are answered.
        launch({"--fault", "stall@head#5"});
        auto *previous = find<QLabel>("previousLabel");
        QVERIFY(previous && previous->text().isEmpty());
        const auto marked = [this] {
            return find<ResultTile>("downTile")->isPrevious()
                   && find<ResultTile>("pingTile")->isPrevious();
        };
        QVERIFY(!marked());

        find<QPushButton>("testButton")->click();
        QCOMPARE(previous->text(), "Précédent · 15:51");
        QVERIFY(marked() && !gauge()->hasValue());
        QCOMPARE(gauge()->caption(), "Ping\u202F: mesure de la latence…");
        QTRY_COMPARE_WITH_TIMEOUT(find<QPushButton>("testButton")->text(), "Lancer le test", 20000);
        QCOMPARE(gauge()->caption(), "Test impossible\u202F: délai d'attente dépassé");
        QVERIFY(marked() && previous->text() == "Précédent · 15:51" && tile("downTile") == "93,4");

        runTest();
        QVERIFY(gauge()->caption().startsWith("Dernier test"));
        QVERIFY(!marked() && previous->text().isEmpty() && tile("downTile") != "93,4");
    }

};

TACHORA_TEST_WIDGETS_MAIN(TestWindow)
#include "tst_window.moc"
