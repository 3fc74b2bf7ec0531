// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "TestSupport.h"

#include "AppDelegate.h"
#include "MainWindow.h"

#include "live/LiveThroughputMonitor.h"
#include "service/ServiceClient.h"
#include "update/Ed25519.h"

#include <QtWidgets>

#include <memory>

// The application as the tests launch it, with safe defaults: its engine runs quick tests
// (TestSupport::quickConfig()) against a closed port until the test gives it another, the
// live counters are idle ones on a clock of their own, the service and the update feed are on
// a closed port, PackageKit is looked for on a bus where nothing answers, and what it would
// open in the desktop is only recorded. The tray is there while `tray` says so.
class AppFixture
{
public:
    std::unique_ptr<SpeedTestEngine> engine =
        std::make_unique<SpeedTestEngine>(TestSupport::quickConfig());
    bool tray = false;
    // Whether the connection is metered.
    bool metered = false;
    // What the application asked the desktop to open.
    QList<QUrl> opened;
    // The keys the updater trusts, and its cache, in a folder a shell would split.
    Ed25519::KeyPair keys = Ed25519::newKeyPair();
    QTemporaryDir cache{QDir::tempPath() + "/tachora ; cache-XXXXXX"};
    // Idle counters on a clock that moves a second per sample.
    LiveThroughputMonitor::Clock::time_point liveClock;
    LiveThroughputMonitor live{[] {
                                   return QList<InterfaceCounters::Interface>{{"eth0", 0, 0}};
                               },
                               [this] { return liveClock += std::chrono::seconds(1); },
                               std::chrono::milliseconds(10)};
    // Last, so that it goes first.
    std::unique_ptr<AppDelegate> app;

    // The set-up launch() uses by default, to change before launching.
    AppSetup setup()
    {
        AppSetup setup;
        setup.engine = engine.get();
        setup.live = &live;
        setup.serviceOrigin = TestSupport::closedOrigin;
        setup.trayAvailable = [this] { return tray; };
        setup.meteredConnection = [this] { return metered; };
        setup.trayRetryInterval = std::chrono::milliseconds(10);
        setup.updater.feedUrl = TestSupport::closedOrigin.toUtf8() + "/feed.json";
        setup.updater.publicKeys = QList{keys.publicKey};
        setup.updater.cacheFolder = cache.path();
        setup.openUrl = [this](const QUrl &url) { return opened.append(url), true; };
        setup.packageBus = QDBusConnection(QStringLiteral("tachora-no-bus"));
        return setup;
    }

    // Launches a new application in place of the one before, laid out.
    AppDelegate &launch(AppSetup setup)
    {
        app.reset();
        app = std::make_unique<AppDelegate>(std::move(setup));
        app->applicationDidFinishLaunching();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        return *app;
    }
    AppDelegate &launch() { return launch(setup()); }

    // Ends the application; false when the requests it left to the shared service client
    // did not end within 5 s.
    bool quit()
    {
        app.reset();
        return QTest::qWaitFor([] { return ServiceClient::shared().requestsRunning() == 0; });
    }

    // The window's child of this name.
    template <class T = QWidget>
    T *find(const char *name) const
    {
        return app->mainWindow()->findChild<T *>(name);
    }

    // The visible top-level window of this name (alerts are named), if any.
    template <class T = QMessageBox>
    static T *shown(const char *name)
    {
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (widget->isVisible() && widget->objectName() == QLatin1String(name))
                return qobject_cast<T *>(widget);
        return nullptr;
    }

    // The visible alerts, each as "text|informative text".
    static QStringList alerts()
    {
        QStringList texts;
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (auto *alert = qobject_cast<QMessageBox *>(widget); alert && alert->isVisible())
                texts.append(alert->text() + u'|' + alert->informativeText());
        return texts;
    }
};
