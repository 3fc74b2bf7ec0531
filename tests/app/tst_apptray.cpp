#include "TestSupport.h"

#include "AppDelegate.h"
#include "MainWindow.h"

#include "live/LiveThroughputMonitor.h"
#include "live/StatusItemController.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"

#include <QMenu>
#include <QSystemTrayIcon>

using namespace std::chrono_literals;

// Runs under a real X server with a tray (tests/app/with-tray.sh), driven with xdotool.
class TestAppTray : public QObject
{
    Q_OBJECT

    static bool xdotool(const QStringList &arguments)
    {
        QProcess process;
        process.start(QStringLiteral("xdotool"), arguments);
        return process.waitForFinished() && process.exitCode() == 0;
    }
    static bool clickAt(const QPoint &point, int button)
    {
        return xdotool({"mousemove", QString::number(point.x()), QString::number(point.y()),
                        "click", QString::number(button)});
    }
    static bool windowMapped()
    {
        return xdotool({"search", "--onlyvisible", "--name", "^Tachora$"});
    }

private slots:
    void trayMode()
    {
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);
        PreferencesStore &store = PreferencesStore::shared();
        for (const auto &key :
             {PreferenceKeys::menuBarMode, PreferenceKeys::onboarded, PreferenceKeys::liveMenuBar})
            store.setBool(key, true);
        // 3 MB more every second of a clock that moves one second per sample.
        quint64 received = 0;
        LiveThroughputMonitor::Clock::time_point now;
        LiveThroughputMonitor live(
            [&] {
                return InterfaceCounters::Totals{received += 3000000, 0};
            },
            [&] { return now += 1s; }, 20ms);
        SpeedTestConfig config;
        config.host = QStringLiteral("http://127.0.0.1:9");
        SpeedTestEngine engine(config);
        AppSetup setup;
        setup.engine = &engine;
        setup.live = &live;
        AppDelegate app(setup);
        app.applicationDidFinishLaunching();

        QVERIFY(!app.mainWindow()->isVisible());
        QVERIFY(!windowMapped());
        QSystemTrayIcon *icon = app.statusController().trayIcon();
        QTRY_VERIFY(app.statusController().isItemVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!icon->geometry().isEmpty(), 10000);
        QTRY_COMPARE(app.statusController().liveText(),
                     QStringLiteral("↓") + LiveThroughputMonitor::compact(3000000));

        // "Ouvrir Tachora…" of the tray menu shows the window.
        QVERIFY(clickAt(icon->geometry().center(), 3));
        QMenu *menu = icon->contextMenu();
        QTRY_VERIFY(menu->isVisible());
        QAction *open = menu->actions().value(1);
        QCOMPARE(open->text(), "Ouvrir Tachora…");
        QVERIFY(clickAt(menu->mapToGlobal(menu->actionGeometry(open).center()), 1));
        QTRY_VERIFY(app.mainWindow()->isVisible());
        QTRY_VERIFY(windowMapped());

        // Closing it leaves the application running: only the watchdog ends the loop.
        QTimer::singleShot(0, app.mainWindow(), &QWidget::close);
        QTimer::singleShot(500, qApp, [] { QCoreApplication::exit(7); });
        QCOMPARE(QCoreApplication::exec(), 7);
        QVERIFY(!app.mainWindow()->isVisible());
        QVERIFY(app.statusController().isItemVisible());
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestAppTray)
#include "tst_apptray.moc"
