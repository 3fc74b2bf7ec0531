// SPDX-License-Identifier: GPL-3.0-or-later
// The window on a Wayland desktop: a client of Weston's headless compositor (on-weston.sh).

#include "AppFixture.h"

#include "SingleInstance.h"

#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"

class TestWayland : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != "wayland")
            QSKIP("needs a Wayland compositor: see tests/app/wayland/on-weston.sh");
    }

    void windowAppearsAndSecondLaunchShowsIt_data()
    {
        TestSupport::addColumns<QByteArray, QByteArray>("given", "handedOn");
        QTest::newRow("token") << QByteArray("tachora-i22_1.5:x")
                               << QByteArray("tachora-i22_1.5:x");
        QTest::newRow("malformed") << QByteArray("two words") << QByteArray();
    }

    // The compositor shows the window; once it is hidden, a second launch brings it back,
    // hands on the activation token it was started with, and ends at once.
    void windowAppearsAndSecondLaunchShowsIt()
    {
        const auto [given, handedOn] =
            TestSupport::fetch<QByteArray, QByteArray>("given", "handedOn");
        PreferencesStore::shared().setBool(PreferenceKeys::onboarded, true);
        PreferencesStore::shared().setBool(PreferenceKeys::menuBarMode, false);
        SingleInstance instance;
        QVERIFY(instance.claim());
        AppFixture fixture;
        AppDelegate &app = fixture.launch();
        QList<QByteArray> tokens;
        connect(&instance, &SingleInstance::activationRequested, &app,
                [&](const QByteArray &token) {
                    tokens.append(token);
                    app.showMainWindow(nullptr);
                });

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
        TestSupport::startChild(second, TACHORA_PATH, {"--service", TestSupport::closedOrigin});
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 10000);
        QVERIFY(second.exitStatus() == QProcess::NormalExit && second.exitCode() == 0);
        QTRY_VERIFY_WITH_TIMEOUT(exposed(), 10000);
        QCOMPARE(tokens, QList<QByteArray>{handedOn});
        QVERIFY(fixture.quit());
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestWayland)
#include "tst_wayland.moc"
