// The window on a Wayland desktop: a client of Weston's headless compositor (on-weston.sh).

#include "TestSupport.h"

#include "AppDelegate.h"
#include "MainWindow.h"
#include "SingleInstance.h"

#include "service/ServiceClient.h"

#include "live/LiveThroughputMonitor.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"

#include <QtWidgets>

using namespace std::chrono_literals;

class TestWayland : public QObject
{
    Q_OBJECT

    SpeedTestEngine m_engine{[] {
        SpeedTestConfig config;
        config.host = "http://127.0.0.1:9";
        return config;
    }()};
    LiveThroughputMonitor m_live{[] {
        return QList<InterfaceCounters::Interface>{{"eth0", 0, 0}};
    }};
    QTemporaryDir m_cache;

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != "wayland")
            QSKIP("needs a Wayland compositor: see tests/app/wayland/on-weston.sh");
    }

    // The compositor shows the window; once it is hidden, a second launch brings it back and
    // ends at once.
    void windowAppearsAndSecondLaunchShowsIt()
    {
        PreferencesStore::shared().setBool(PreferenceKeys::onboarded, true);
        PreferencesStore::shared().setBool(PreferenceKeys::menuBarMode, false);
        SingleInstance instance;
        QVERIFY(instance.claim());
        AppSetup setup;
        setup.engine = &m_engine;
        setup.live = &m_live;
        setup.serviceOrigin = "http://127.0.0.1:9";
        setup.updater.feedUrl = "http://127.0.0.1:9/feed.json";
        setup.updater.cacheFolder = m_cache.path();
        AppDelegate app(std::move(setup));
        connect(&instance, &SingleInstance::activationRequested, &app,
                [&app] { app.showMainWindow(nullptr); });
        app.applicationDidFinishLaunching();

        MainWindow *window = app.mainWindow();
        const auto exposed = [window] {
            return window->windowHandle() && window->windowHandle()->isExposed();
        };
        QTRY_VERIFY_WITH_TIMEOUT(exposed(), 10000);
        // The compositor's first configure leaves the size the window asked for.
        QCOMPARE(window->windowHandle()->size(), window->size());
        QVERIFY(!window->size().isEmpty());

        window->hide();
        QTRY_VERIFY(!exposed());
        QProcess second;
        second.start(TACHORA_PATH, {"--service", "http://127.0.0.1:9"});
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 10000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(exposed(), 10000);
        QTRY_COMPARE(ServiceClient::shared().requestsRunning(), 0);
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestWayland)
#include "tst_wayland.moc"
