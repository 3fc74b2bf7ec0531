// SPDX-License-Identifier: GPL-3.0-or-later
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

    void windowAppearsAndSecondLaunchShowsIt_data()
    {
        QTest::addColumn<QByteArray>("given");
        QTest::addColumn<QByteArray>("handedOn");
        QTest::newRow("token") << QByteArray("tachora-i22_1.5:x")
                               << QByteArray("tachora-i22_1.5:x");
        QTest::newRow("malformed") << QByteArray("two words") << QByteArray();
    }

    // The compositor shows the window; once it is hidden, a second launch brings it back,
    // hands on the activation token it was started with, and ends at once.
    void windowAppearsAndSecondLaunchShowsIt()
    {
        QFETCH(QByteArray, given);
        QFETCH(QByteArray, handedOn);
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
        QList<QByteArray> tokens;
        connect(&instance, &SingleInstance::activationRequested, &app,
                [&](const QByteArray &token) {
                    tokens.append(token);
                    app.showMainWindow(nullptr);
                });
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
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_ACTIVATION_TOKEN", QString::fromLatin1(given));
        second.setProcessEnvironment(environment);
        second.start(TACHORA_PATH, {"--service", "http://127.0.0.1:9"});
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 10000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(exposed(), 10000);
        QCOMPARE(tokens, QList<QByteArray>{handedOn});
        QTRY_COMPARE(ServiceClient::shared().requestsRunning(), 0);
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestWayland)
#include "tst_wayland.moc"
