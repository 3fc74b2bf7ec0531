#include "FakeService.h"
#include "TestSupport.h"

#include "SpeedServerProcess.h"

#include "AppDelegate.h"
#include "LoginItem.h"
#include "MainWindow.h"
#include "SingleInstance.h"

#include "service/ServiceClient.h"
#include "update/Ed25519.h"

#include "live/LiveThroughputMonitor.h"
#include "live/StatusItemController.h"
#include "platform/BuildConfig.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"
#include "settings/ResultTexts.h"
#include "settings/SpeedHistory.h"
#include "settings/SpeedSettings.h"
#include "views/GaugeView.h"
#include "views/ResultTile.h"

#include <QtWidgets>

using namespace std::chrono_literals;
using Result = SpeedTestEngine::Result;

class TestApp : public QObject
{
    Q_OBJECT

    std::unique_ptr<SpeedServerProcess> m_server;
    std::unique_ptr<SpeedTestEngine> m_engine;
    // Idle counters on a clock that moves a second per sample.
    LiveThroughputMonitor::Clock::time_point m_clock;
    LiveThroughputMonitor m_live{[] {
                                     return QList<InterfaceCounters::Interface>{{"eth0", 0, 0}};
                                 },
                                 [this] { return m_clock += 1s; }, 10ms};
    std::unique_ptr<AppDelegate> m_app;
    bool m_tray = false;
    // What the last onboarding alert showed, or "none"; and the watch that answers it.
    QStringList m_alert;
    std::unique_ptr<QObject> m_alertWatch;
    // The updater's keys and cache, and what the application asked the desktop to open.
    Ed25519::KeyPair m_keys = Ed25519::newKeyPair();
    QTemporaryDir m_cache;
    QList<QUrl> m_opened;

    // Launches on an engine with short budgets, against a server started with these
    // arguments, or against a closed port without any.
    void launch(const QStringList &serverArguments = {}, double downloadBudget = 0.6)
    {
        SpeedTestConfig config;
        config.host = "http://127.0.0.1:9";
        if (!serverArguments.isEmpty()) {
            m_server = std::make_unique<SpeedServerProcess>();
            QVERIFY(m_server->start(serverArguments));
            config.host = m_server->origin();
        }
        config.downloadBudget = downloadBudget;
        config.uploadBudget = 0.6;
        config.downloadSteps = {200000, 1000000};
        config.pingTimeout = config.downloadTimeout = config.uploadTimeout =
            2s + std::chrono::seconds(int(downloadBudget));
        m_engine = std::make_unique<SpeedTestEngine>(config);
        relaunch();
    }

    void relaunch()
    {
        m_app.reset();
        AppSetup setup;
        setup.engine = m_engine.get();
        setup.live = &m_live;
        setup.serviceOrigin = "http://127.0.0.1:9";
        setup.trayAvailable = [this] { return m_tray; };
        setup.trayRetryInterval = 10ms;
        setup.updater.feedUrl = "http://127.0.0.1:9/feed.json";
        setup.updater.publicKeys = QList{m_keys.publicKey};
        setup.updater.cacheFolder = m_cache.path();
        setup.openUrl = [this](const QUrl &url) { return m_opened.append(url), true; };
        // A bus where nothing answers: the host's own PackageKit is never asked.
        setup.packageBus = QDBusConnection(QStringLiteral("tachora-no-bus"));
        m_app = std::make_unique<AppDelegate>(std::move(setup));
        m_app->applicationDidFinishLaunching();
    }

    static PreferencesStore &store() { return PreferencesStore::shared(); }
    template <class T>
    T *find(const char *name) const
    {
        return m_app->mainWindow()->findChild<T *>(name);
    }
    QString caption() const { return find<GaugeView>("gauge")->caption(); }
    QString tile(const char *name) const { return find<ResultTile>(name)->valueLabel()->text(); }
    QAction *statusAction() const
    {
        return m_app->statusController().trayIcon()->contextMenu()->actions().value(0);
    }
    static QMessageBox *updateAlert()
    {
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (widget->objectName() == "updateAlert" && widget->isVisible())
                return qobject_cast<QMessageBox *>(widget);
        return nullptr;
    }

    // Clicks the named button of the alert that the next launch puts up, if any.
    void answerAlert(const QString &button)
    {
        m_alert = {"none"};
        m_alertWatch = std::make_unique<QObject>();
        QTimer::singleShot(0, m_alertWatch.get(), [this, button] {
            auto *alert = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!alert)
                return;
            const auto buttons = alert->buttons();
            m_alert = {alert->text(), alert->informativeText().section(u'\n', 0, 0),
                       store().boolValue(PreferenceKeys::onboarded) ? "stored" : "absent",
                       buttons[0]->text() + (buttons[0] == alert->defaultButton() ? "*" : ""),
                       buttons[1]->text() + (buttons[0]->x() < buttons[1]->x() ? "" : " first")};
            alert->findChild<QPushButton *>(button)->click();
        });
    }

private slots:
    void init()
    {
        for (const auto &key :
             {PreferenceKeys::menuBarMode, PreferenceKeys::liveMenuBar, PreferenceKeys::unitMBytes,
              PreferenceKeys::history, PreferenceKeys::updateAutoCheck,
              PreferenceKeys::updateAutoDownload})
            store().remove(key);
        store().setBool(PreferenceKeys::onboarded, true);
        m_tray = false;
        m_opened.clear();
        qunsetenv("KORVEL_DEBUG_SETTINGS");
    }

    void cleanup()
    {
        m_app.reset();
        QTRY_COMPARE(ServiceClient::shared().requestsRunning(), 0);
        m_server.reset();
        m_alertWatch.reset();
    }

    void resultArea_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<bool>("megabytes");
        QTest::addColumn<QString>("expected"); // caption|tiles|first history line|lines
        QTest::newRow("empty") << 0 << false << "Prêt à mesurer|·|·|·|Aucun test pour l'instant|1";
        QTest::newRow("five stored")
            << 5 << false
            << "Dernier test : 14:05|93,4|12,0|13 ms|14:05   ↓ 93,4   ↑ 12,0   13 ms|4";
        QTest::newRow("megabytes")
            << 1 << true << "Dernier test : 14:05|11,7|1,5|13 ms|14:05   ↓ 11,7   ↑ 1,5   13 ms|1";
    }

    void resultArea()
    {
        QFETCH(int, stored);
        QFETCH(bool, megabytes);
        const QDateTime newest(QDate(2025, 3, 4), QTime(14, 5));
        for (int age = stored - 1; age >= 0; --age)
            SpeedHistory::add(
                Result(Result::dateFrom(newest.addSecs(-60 * age)), 93.4, 12.04, age ? 0.4 : 12.5));
        SpeedSettings::setUnitMBytes(megabytes);
        launch();
        const QString history = find<QLabel>("historyLabel")->text();
        QTEST(QStringList({caption(), tile("downTile"), tile("upTile"), tile("pingTile"),
                           history.section(u'\n', 0, 0), QString::number(history.count(u'\n') + 1)})
                  .join(u'|'),
              "expected");
        QVERIFY(stored < 2 || history.endsWith("   0 ms"));
    }

    void window()
    {
        // The debug switch opens the settings only when it is exactly "1".
        qputenv("KORVEL_DEBUG_SETTINGS", "01");
        launch();
        MainWindow *window = m_app->mainWindow();
        QVERIFY(window->isVisible() && !window->showsSettings());
        for (QWidget *control :
             window->mainView()->findChildren<QWidget *>(QRegularExpression("^[a-z]")))
            QVERIFY2(
                !QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name).isEmpty(),
                qPrintable(control->objectName()));
        // The button's text stays legible on its green whatever the appearance.
        const auto luminance = [](const QColor &color) {
            const auto linear = [](float v) {
                return v <= 0.04045f ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
            };
            return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF())
                   + 0.0722 * linear(color.blueF());
        };
        for (const QColor &windowColor : {QColor(236, 236, 236), QColor(40, 40, 40)}) {
            QApplication::setPalette(QPalette(windowColor));
            const QImage button = find<QPushButton>("testButton")->grab().toImage();
            qreal darkest = 1, lightest = 0;
            for (int y = 8; y < button.height() - 8; ++y)
                for (int x = 8; x < button.width() - 8; ++x) {
                    const qreal l = luminance(button.pixelColor(x, y));
                    darkest = std::min(darkest, l), lightest = std::max(lightest, l);
                }
            QVERIFY2((lightest + 0.05) / (darkest + 0.05) > 4.5, qPrintable(windowColor.name()));
        }
        QApplication::setPalette(QPalette());
    }

    void endToEnd()
    {
        launch({"--down-rate", "2000000"});
        QVERIFY(QTest::qWaitForWindowActive(m_app->mainWindow()));
        QStringList captions;
        const auto report = m_engine->onProgress;
        m_engine->onProgress = [&](SpeedTestEngine::Phase phase, double mbps) {
            report(phase, mbps);
            if (captions.value(captions.size() - 1) != caption())
                captions.append(caption());
        };
        QTest::keyClick(m_app->mainWindow(), Qt::Key_Return);
        QCOMPARE(find<QPushButton>("testButton")->text(), "Arrêter le test");
        QTRY_VERIFY_WITH_TIMEOUT(caption().startsWith("Dernier test : "), 20000);
        QCOMPARE(captions, (QStringList{"Ping…", "Descente…", "Montée…"}));
        QCOMPARE(find<QPushButton>("testButton")->text(), "Lancer le test");
        const Result result = SpeedHistory::all().value(0, Result(0, 0, 0, 0));
        QVERIFY(result.down() > 0 && result.up() > 0);
        QCOMPARE(tile("downTile"), SpeedSettings::format(result.down()));
        QCOMPARE(find<QLabel>("historyLabel")->text(), ResultTexts::historyLine(result));
    }

    void cancelThenFail_data() { TestSupport::addBoolRows("fromTray", "button", "tray menu"); }

    void cancelThenFail()
    {
        QFETCH(bool, fromTray);
        SpeedHistory::add(Result(Result::now(), 50, 10, 20));
        store().setBool(PreferenceKeys::menuBarMode, m_tray = fromTray);
        launch({"--down-rate", "200000"}, 60);
        QCOMPARE(m_app->mainWindow()->isVisible(), !fromTray);
        const auto press = [&] {
            fromTray ? statusAction()->trigger() : find<QPushButton>("testButton")->click();
        };
        press();
        QVERIFY(!fromTray || statusAction()->text() == "Arrêter le test");
        QTRY_COMPARE_WITH_TIMEOUT(caption(), "Descente…", 10000);
        press();
        QTRY_COMPARE_WITH_TIMEOUT(caption(), "Test annulé", 10000);
        QCOMPARE(tile("downTile"), "50,0");
        QCOMPARE(find<QPushButton>("testButton")->text(), "Lancer le test");
        QVERIFY(!fromTray || statusAction()->text() == "Lancer le test");

        m_server.reset();
        press();
        QTRY_COMPARE_WITH_TIMEOUT(caption(), "Test impossible (réseau ?)", 10000);
        QCOMPARE(tile("downTile"), "50,0");
    }

    void onboarding_data() { TestSupport::addBoolRows("menuBar", "dock", "menu bar"); }

    void onboarding()
    {
        QFETCH(bool, menuBar);
        store().remove(PreferenceKeys::onboarded);
        SpeedSettings::setLiveMenuBar(m_tray = true);
        answerAlert(menuBar ? "menuBarButton" : "dockButton");
        launch();
        QCOMPARE(m_alert, (QStringList{"Bienvenue dans Tachora 🚀", "Où veux-tu que l'app vive ?",
                                       "stored", "Dans le Dock*", "Dans la barre de menus"}));
        QCOMPARE(store().boolValue(PreferenceKeys::menuBarMode), menuBar);
        QCOMPARE(m_app->statusController().isEnabled(), menuBar);
        QCOMPARE(QGuiApplication::quitOnLastWindowClosed(), !menuBar);
        QCOMPARE(m_live.isRunning(), menuBar);
        QTRY_VERIFY(m_app->mainWindow()->isVisible());

        // Asked once; a launch in tray mode shows no window.
        answerAlert("none");
        relaunch();
        QCOMPARE(m_alert, QStringList{"none"});
        QCOMPARE(m_app->mainWindow()->isVisible(), !menuBar);
    }

    void noTrayFallback()
    {
        store().remove(PreferenceKeys::onboarded);
        store().setBool(PreferenceKeys::menuBarMode, true);
        SpeedSettings::setLiveMenuBar(true);
        launch();
        QVERIFY(m_app->mainWindow()->isVisible() && QGuiApplication::quitOnLastWindowClosed());
        QVERIFY(!m_app->statusController().isEnabled() && !m_live.isRunning());
        QVERIFY(!store().contains(PreferenceKeys::onboarded));
        QVERIFY(store().boolValue(PreferenceKeys::menuBarMode));

        // The watch for a late tray gives up after a few looks; tray mode chosen again starts
        // it afresh.
        auto *watch = m_app->findChild<QTimer *>("trayWatch");
        QSignalSpy looks(watch, &QTimer::timeout);
        QTRY_VERIFY(!watch->isActive());
        const qsizetype atLaunch = looks.size();
        auto *box = find<QCheckBox>("menuBarCheckbox");
        box->click(), box->click();
        QTRY_VERIFY(!watch->isActive());
        QCOMPARE(looks.size(), 2 * atLaunch);

        // A tray that comes up a little later takes over.
        box->click(), box->click();
        m_tray = true;
        QTRY_VERIFY(m_app->statusController().isEnabled());
        QVERIFY(!QGuiApplication::quitOnLastWindowClosed() && m_live.isRunning());
    }

    void secondInstanceRaisesFirst()
    {
        // A first instance killed outright leaves its lock and socket behind.
        QProcess killed;
        killed.start(TACHORA_PATH, {"--service", "http://127.0.0.1:9"});
        SingleInstance instance;
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(instance.socketPath()), 10000);
        killed.kill();
        QVERIFY(killed.waitForFinished());
        QVERIFY(instance.claim());

        store().setBool(PreferenceKeys::menuBarMode, m_tray = true);
        launch();
        connect(&instance, &SingleInstance::activationRequested, m_app.get(),
                [this] { m_app->showMainWindow(nullptr); });
        QVERIFY(!m_app->mainWindow()->isVisible());
        QCOMPARE(TestSupport::run(TACHORA_PATH, {}).status, 0);
        QTRY_VERIFY(m_app->mainWindow()->isVisible());
    }

    // Runs on a real X server with a tray (tests/app/with-tray.sh), seen through xdotool.
    void realTray()
    {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("needs an X server with a tray: see tests/app/with-tray.sh");
        QTRY_VERIFY_WITH_TIMEOUT(m_tray = QSystemTrayIcon::isSystemTrayAvailable(), 10000);
        store().setBool(PreferenceKeys::menuBarMode, true);
        SpeedSettings::setLiveMenuBar(true);
        launch();
        const QStringList search{"search", "--onlyvisible", "--name", "^Tachora$"};
        const auto mapped = [&] { return TestSupport::run("xdotool", search).status == 0; };
        QVERIFY(!m_app->mainWindow()->isVisible() && !mapped());
        QTRY_VERIFY_WITH_TIMEOUT(!m_app->statusController().trayIcon()->geometry().isEmpty(),
                                 10000);
        QTRY_COMPARE(m_app->statusController().liveText(), "↓" + LiveThroughputMonitor::compact(0));
        m_app->showMainWindow(nullptr);
        QTRY_VERIFY(mapped());
        // Closing the window leaves the application running: only the watchdog ends the loop.
        QTimer::singleShot(0, m_app->mainWindow(), &QWidget::close);
        QTimer::singleShot(500, qApp, [] { QCoreApplication::exit(7); });
        QCOMPARE(QCoreApplication::exec(), 7);
        QVERIFY(m_app->statusController().isItemVisible());
    }

    void menus()
    {
        store().setBool(PreferenceKeys::menuBarMode, m_tray = true);
        launch();
        const QString update = m_app->updater() ? "Rechercher des mises à jour…"
                                                : "Mises à jour par le gestionnaire de paquets";
        auto *button = find<QToolButton>("menuButton");
        QCOMPARE(button->toolTip(), "Menu");
        auto *menu = m_app->mainWindow()->findChild<QMenu *>("mainMenu");
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_VERIFY(menu->isVisible());
        menu->close();
        QStringList titles;
        for (const QAction *action : m_app->statusController().trayIcon()->contextMenu()->actions())
            titles.append(action->text());
        QCOMPARE(titles, (QStringList{"Lancer le test", "Ouvrir Tachora…", "", update,
                                      "Signaler un problème…", "", "Quitter Tachora"}));

        // The window's shortcut, also in tray mode.
        m_app->showMainWindow(nullptr);
        QVERIFY(QTest::qWaitForWindowActive(m_app->mainWindow()));
        QSignalSpy quit(m_app->findChild<QAction *>("quitAction"), &QAction::triggered);
        QTest::keyClick(m_app->mainWindow(), Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(quit.count(), 1);
    }

    void settingsView()
    {
        SpeedHistory::add(Result(Result::now(), 93.4, 12.04, 17.6));
        m_tray = true;
        qputenv("KORVEL_DEBUG_SETTINGS", "1");
        launch();
        QVERIFY(m_app->mainWindow()->showsSettings());
        const auto state = [this](const char *name) {
            if (auto *box = find<QCheckBox>(name))
                return QString(box->isChecked() ? "on" : "off");
            return find<QComboBox>(name)->currentText();
        };
        QCOMPARE(QStringList({state("liveCheckbox"), state("unitPopUp"), state("serverPopUp"),
                              state("menuBarCheckbox"), state("loginCheckbox")}),
                 (QStringList{"off", "Mbps", "http://127.0.0.1:9", "off", "off"}));

        // Scrolling over a pop-up button without the focus leaves it alone.
        auto *unit = find<QComboBox>("unitPopUp");
        QWheelEvent wheel(QPointF(10, 10), unit->mapToGlobal(QPointF(10, 10)), {}, {0, -120},
                          Qt::NoButton, {}, Qt::NoScrollPhase, false);
        QApplication::sendEvent(unit, &wheel);
        QCOMPARE(unit->currentIndex(), 0);
        unit->setCurrentIndex(1);
        emit unit->activated(1);
        QVERIFY(SpeedSettings::unitMBytes());
        QCOMPARE(tile("downTile"), "11,7");

        // The live text follows its checkbox at once.
        find<QCheckBox>("menuBarCheckbox")->click();
        find<QCheckBox>("liveCheckbox")->click();
        QVERIFY(m_live.isRunning());

        find<QPushButton>("makerLink")->click();
        QCOMPARE(m_opened, QList<QUrl>{QUrl(BuildConfig::siteUrl)});

        // The two update switches move together; the box shows on only when both are.
        if (Updater *updater = m_app->updater()) {
            for (const bool on : {true, false}) {
                find<QCheckBox>("autoUpdatesCheckbox")->click();
                QVERIFY(updater->automaticallyChecksForUpdates() == on
                        && updater->automaticallyDownloadsUpdates() == on);
            }
            updater->setAutomaticallyChecksForUpdates(true);
            relaunch();
            QVERIFY(!find<QCheckBox>("autoUpdatesCheckbox")->isChecked());
        }
    }

    void loginItem()
    {
        const QString path = LoginItem::filePath();
        const QString folder = QFileInfo(path).path();
        const auto contents = [&] { return TestSupport::readFile(path); };
        QDir(folder).removeRecursively();
        launch();
        auto *box = find<QCheckBox>("loginCheckbox");
        box->click();
        QVERIFY(contents().contains("\nExec=" + QCoreApplication::applicationFilePath().toUtf8()
                                    + "\n"));

        // Turned off by the desktop's own settings, as either key.
        for (const QByteArray line : {"Hidden=true", "X-GNOME-Autostart-enabled=false"}) {
            QVERIFY(LoginItem::registerItem("/usr/bin/tachora") == std::nullopt);
            QVERIFY(TestSupport::writeFile(path, line + "\n", {}, QIODevice::Append));
            m_app->showSettings(nullptr);
            QVERIFY(!box->isChecked());
        }
        box->click();
        QVERIFY(box->isChecked() && LoginItem::isEnabled());
        box->click();
        QVERIFY(!QFile::exists(path));

        // A folder that cannot be made: logged, and the box shows the real state.
        QDir(folder).removeRecursively();
        QVERIFY(TestSupport::writeFile(folder, {}));
        QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable("Tachora: ouverture à la connexion: cannot create the folder " + folder));
        box->click();
        QVERIFY(!box->isChecked());
        QFile::remove(folder);

        // Exec takes a path with spaces and shell characters as one argument.
        QVERIFY(LoginItem::registerItem("/opt/My Apps/a$b\\c") == std::nullopt);
        QVERIFY(contents().contains("\nExec=\"/opt/My Apps/a\\\\$b\\\\\\\\c\"\n"));
    }

    void updateAlerts()
    {
        launch();
        if (!m_app->updater())
            QSKIP("this build leaves updates to the package manager");
        m_app->findChild<QAction *>("updateAction")->trigger();
        QTRY_VERIFY(updateAlert());
        QCOMPARE(updateAlert()->text(), "Impossible de rechercher les mises à jour");

        // A release whose package is already in the cache opens with the desktop's installer.
        const QByteArray package = "!<arch>\ndebian-binary";
        const QString file = m_cache.filePath("tachora_9.9.9.deb");
        QVERIFY(TestSupport::writeFile(file, package));
        const Updater::Update update{"9.9.9",
                                     "http://127.0.0.1:9/tachora.deb",
                                     package.size(),
                                     QCryptographicHash::hash(package, QCryptographicHash::Sha256),
                                     Ed25519::sign(package, m_keys.secretKey),
                                     "<b>Des</b> <a href=\"https://x.example\">notes</a>",
                                     {}};
        m_app->updater()->onUpdateFound(update, file);
        QTRY_COMPARE(updateAlert()->text(), "Tachora 9.9.9 est disponible");
        QVERIFY(updateAlert()->informativeText().endsWith("\n\n" + update.notes));
        // The feed's words, never markup nor links.
        for (QLabel *label : updateAlert()->findChildren<QLabel *>())
            QVERIFY(label->textFormat() == Qt::PlainText && !label->openExternalLinks());
        updateAlert()->findChild<QPushButton *>("installButton")->click();
        // No PackageKit answers: the package's folder opens, with the command that installs it.
        QTRY_COMPARE(m_opened, QList<QUrl>{QUrl::fromLocalFile(m_cache.path())});
        QTRY_COMPARE(updateAlert()->text(), "Installe Tachora 9.9.9 toi-même");
        QVERIFY2(updateAlert()->informativeText().endsWith("\n\nsudo apt install " + file),
                 qPrintable(updateAlert()->informativeText()));

        // Notes of a thousand lines scroll inside an alert that fits on the screen; what would
        // hide or reorder the text is not shown.
        Updater::Update longNotes = update;
        longNotes.notes = QString::fromUtf8("ligne\x1b[31m \u202Egnp.exe\t!\r\n").repeated(1200);
        m_app->updater()->onUpdateFound(longNotes, file);
        QTRY_VERIFY(updateAlert() && updateAlert()->isVisible()
                    && updateAlert()->informativeText().size() > 1000);
        const QString shown = updateAlert()->informativeText();
        QVERIFY(shown.contains("ligne[31m gnp.exe\t!\nligne") && !shown.contains(u'\x1b')
                && !shown.contains(QChar(0x202E)) && !shown.contains(u'\r'));
        QVERIFY2(updateAlert()->height() <= updateAlert()->screen()->availableGeometry().height(),
                 QByteArray::number(updateAlert()->height()));
        updateAlert()->close();

        // A package on its way shows its progress; "Annuler" stops it, and nothing more is said.
        FakeService server;
        server.trickle = 100ms;
        server.handler = [&](const FakeService::Request &) {
            return FakeService::Answer{200, package};
        };
        Updater::Update remote = update;
        remote.version = "9.9.10";
        remote.url = server.origin().toUtf8() + "/tachora.deb";
        m_app->updater()->onUpdateFound(remote, std::nullopt);
        QTRY_VERIFY(updateAlert() && updateAlert()->text() == "Tachora 9.9.10 est disponible");
        updateAlert()->findChild<QPushButton *>("installButton")->click();
        const auto progress = []() -> QProgressDialog * {
            for (QWidget *widget : QApplication::topLevelWidgets())
                if (auto *dialog = qobject_cast<QProgressDialog *>(widget);
                    dialog && dialog->isVisible())
                    return dialog;
            return nullptr;
        };
        QTRY_VERIFY(progress() && progress()->value() > 2);
        QCOMPARE(progress()->maximum(), package.size());
        progress()->findChild<QPushButton *>()->click();
        QTRY_VERIFY(!progress() && !m_app->updater()->isDownloading());
        QVERIFY(!updateAlert() || !updateAlert()->isVisible());
        QCOMPARE(m_opened.size(), 1);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("output"); // on stdout and status 0, else on stderr and 2
        QTest::newRow("help") << QStringList{"--help"} << "--server <ORIGINE>";
        QTest::newRow("bad server") << QStringList{"--server", "ftp://host"}
                                    << "origine invalide pour --server : « ftp://host »";
        QTest::newRow("bad service") << QStringList{"--service", "https://h/p"} << "--service";
    }

    // Without any display to connect to.
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, output);
        const auto done = TestSupport::run(
            "env", QStringList{"-i", "PATH=/usr/bin:/bin", TACHORA_PATH} + arguments);
        const bool usage = arguments.size() > 1;
        QCOMPARE(done.status, usage ? 2 : 0);
        QVERIFY(QString::fromUtf8(usage ? done.err : done.out).contains(output));
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestApp)
#include "tst_app.moc"
