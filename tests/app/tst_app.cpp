#include "TestSupport.h"

#include "SpeedServerProcess.h"

#include "AppDelegate.h"
#include "MainWindow.h"
#include "ResultTexts.h"
#include "SingleInstance.h"

#include "live/LiveThroughputMonitor.h"
#include "live/StatusItemController.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"
#include "settings/SpeedHistory.h"
#include "settings/SpeedSettings.h"
#include "views/GaugeView.h"
#include "views/ResultTile.h"

#include <QAccessible>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>

using namespace std::chrono_literals;
using Result = SpeedTestEngine::Result;

class TestApp : public QObject
{
    Q_OBJECT

    std::unique_ptr<SpeedServerProcess> m_server;
    std::unique_ptr<SpeedTestEngine> m_engine;
    LiveThroughputMonitor m_live{[] { return InterfaceCounters::Totals{}; }, {}, 10ms};
    std::unique_ptr<AppDelegate> m_app;
    bool m_tray = false;

    // A launched application on an engine with short budgets, against a fresh server when
    // serverArguments is given, else against a closed port.
    void launch(const std::optional<QStringList> &serverArguments = std::nullopt,
                double downloadBudget = 0.6)
    {
        SpeedTestConfig config;
        config.host = QStringLiteral("http://127.0.0.1:9");
        if (serverArguments) {
            m_server = std::make_unique<SpeedServerProcess>();
            QVERIFY(m_server->start(*serverArguments));
            config.host = m_server->origin();
        }
        config.downloadBudget = downloadBudget;
        config.uploadBudget = 0.6;
        config.downloadSteps = {200000, 1000000};
        config.pingTimeout = config.uploadTimeout = 2s;
        config.downloadTimeout = std::chrono::seconds(qRound(downloadBudget) + 2);
        m_engine = std::make_unique<SpeedTestEngine>(config);
        relaunch();
    }

    void relaunch()
    {
        m_app.reset();
        m_app = std::make_unique<AppDelegate>(
            AppSetup{m_engine.get(), &m_live, nullptr, {}, [this] { return m_tray; }, 10ms});
        m_app->applicationDidFinishLaunching();
    }

    static PreferencesStore &store() { return PreferencesStore::shared(); }
    template <class T>
    T *find(const char *name) const
    {
        return m_app->mainWindow()->findChild<T *>(QLatin1String(name));
    }
    QString caption() const { return find<GaugeView>("gauge")->caption(); }
    QString tile(const char *name) const { return find<ResultTile>(name)->valueLabel()->text(); }
    QAction *statusAction(int index) const
    {
        return m_app->statusController().trayIcon()->contextMenu()->actions().value(index);
    }

    // Answers the next modal dialog with the button of that name, and keeps the dialog's
    // texts; the name alone records whether one came up.
    struct ModalAnswer
    {
        bool checked = false;
        QStringList texts;
    };
    ModalAnswer *answerNextModal(const char *button)
    {
        auto *answer = new ModalAnswer;
        QTimer::singleShot(0, this, [this, answer, button] {
            answer->checked = true;
            auto *alert = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!alert)
                return;
            const auto buttons = alert->buttons();
            answer->texts = {alert->text(), alert->informativeText(),
                             store().boolValue(PreferenceKeys::onboarded) ? "stored" : "absent"};
            for (QAbstractButton *each : buttons)
                answer->texts.append(each->text() + (each == alert->defaultButton() ? "*" : ""));
            if (buttons.value(0)->mapToGlobal(QPoint()).x()
                >= buttons.value(1)->mapToGlobal(QPoint()).x())
                answer->texts.append("buttons out of order");
            alert->findChild<QPushButton *>(QLatin1String(button))->click();
        });
        return answer;
    }

private slots:
    void init()
    {
        for (const auto &key : {PreferenceKeys::menuBarMode, PreferenceKeys::liveMenuBar,
                                PreferenceKeys::unitMBytes, PreferenceKeys::history})
            store().remove(key);
        store().setBool(PreferenceKeys::onboarded, true);
        m_tray = false;
        qunsetenv("KORVEL_DEBUG_SETTINGS");
    }

    void cleanup()
    {
        m_app.reset();
        m_engine.reset();
        m_server.reset();
    }

    void resultArea_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<bool>("megabytes");
        QTest::addColumn<QStringList>("expected"); // caption, three tiles, first history line
        QTest::addColumn<int>("lines");
        const Result newest(Result::dateFrom(QDateTime(QDate(2025, 3, 4), QTime(14, 5))), 93.4,
                            12.04, 12.5);
        const QString hour = ResultTexts::hourText(newest);
        QTest::newRow("empty") << 0 << false
                               << QStringList{"Prêt à mesurer", "·", "·", "·",
                                              "Aucun test pour l'instant"}
                               << 1;
        QTest::newRow("five stored") << 5 << false
                                     << QStringList{"Dernier test : 14:05", "93,4", "12,0", "13 ms",
                                                    "14:05   ↓ 93,4   ↑ 12,0   13 ms"}
                                     << 4;
        QTest::newRow("megabytes") << 1 << true
                                   << QStringList{"Dernier test : 14:05", "11,7", "1,5", "13 ms",
                                                  "14:05   ↓ 11,7   ↑ 1,5   13 ms"}
                                   << 1;
    }

    void resultArea()
    {
        QFETCH(int, stored);
        QFETCH(bool, megabytes);
        QFETCH(QStringList, expected);
        QFETCH(int, lines);
        for (int index = stored - 1; index >= 0; --index)
            SpeedHistory::add(
                Result(Result::dateFrom(QDateTime(QDate(2025, 3, 4), QTime(14, 5))) - index * 60,
                       93.4, 12.04, index ? 0.4 : 12.5));
        SpeedSettings::setUnitMBytes(megabytes);
        launch();
        const QString history = find<QLabel>("historyLabel")->text();
        QCOMPARE((QStringList{caption(), tile("downTile"), tile("upTile"), tile("pingTile"),
                              history.section(u'\n', 0, 0)}),
                 expected);
        QCOMPARE(history.count(u'\n') + 1, lines);
        if (stored > 1)
            QVERIFY(history.endsWith("0 ms"));
    }

    void window()
    {
        launch();
        MainWindow *window = m_app->mainWindow();
        QVERIFY(window->isVisible());
        QCOMPARE(window->windowTitle(), "Tachora");
        QCOMPARE(window->minimumSize(), QSize(430, 600));
        QCOMPARE(window->maximumSize(), QSize(430, 600));
        QCOMPARE(find<QWidget>("gearButton")->geometry(), QRect(386, 556, 30, 30));
        QCOMPARE(find<QWidget>("appIcon")->size(), QSize(92, 92));
        for (QWidget *control : window->mainView()->findChildren<QWidget *>()) {
            if (control->objectName().isEmpty() || control->objectName().startsWith("qt_"))
                continue;
            QVERIFY2(
                !QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name).isEmpty(),
                qPrintable(control->objectName()));
        }
        // The button's text stays legible on its green whatever the appearance.
        for (const QColor &windowColor : {QColor(236, 236, 236), QColor(40, 40, 40)}) {
            QApplication::setPalette(QPalette(windowColor));
            const QImage button = find<QPushButton>("testButton")->grab().toImage();
            // Relative luminance: the sRGB channels made linear first.
            const auto linear = [](float v) {
                return v <= 0.04045f ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
            };
            qreal darkest = 1, lightest = 0;
            for (int y = 8; y < button.height() - 8; ++y)
                for (int x = 8; x < button.width() - 8; ++x) {
                    const QColor c = button.pixelColor(x, y);
                    const qreal l = 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF())
                                    + 0.0722 * linear(c.blueF());
                    darkest = std::min(darkest, l), lightest = std::max(lightest, l);
                }
            QVERIFY2((lightest + 0.05) / (darkest + 0.05) > 4.5, qPrintable(windowColor.name()));
        }
        QApplication::setPalette(QPalette());
    }

    void endToEnd()
    {
        launch(QStringList{"--down-rate", "2000000"});
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
        QCOMPARE(tile("downTile"), SpeedSettings::format(result.down()));
        QVERIFY(result.down() > 0 && result.up() > 0);
        QCOMPARE(find<QLabel>("historyLabel")->text(), ResultTexts::historyLine(result));
    }

    void cancelThenFail_data()
    {
        QTest::addColumn<bool>("fromTray");
        QTest::newRow("button") << false;
        QTest::newRow("tray menu") << true;
    }

    void cancelThenFail()
    {
        QFETCH(bool, fromTray);
        SpeedHistory::add(Result(Result::now(), 50, 10, 20));
        store().setBool(PreferenceKeys::menuBarMode, fromTray);
        m_tray = fromTray;
        launch(QStringList{"--down-rate", "200000"}, 60);
        QCOMPARE(m_app->mainWindow()->isVisible(), !fromTray);
        const auto press = [&] {
            if (fromTray)
                statusAction(0)->trigger();
            else
                find<QPushButton>("testButton")->click();
        };
        press();
        if (fromTray)
            QCOMPARE(statusAction(0)->text(), "Arrêter le test");
        QTRY_COMPARE_WITH_TIMEOUT(caption(), "Descente…", 10000);
        press();
        QTRY_COMPARE_WITH_TIMEOUT(caption(), "Test annulé", 10000);
        QCOMPARE(tile("downTile"), "50,0");
        QCOMPARE(find<QPushButton>("testButton")->text(), "Lancer le test");
        if (fromTray)
            QCOMPARE(statusAction(0)->text(), "Lancer le test");

        m_server.reset();
        press();
        QTRY_COMPARE_WITH_TIMEOUT(caption(), "Test impossible (réseau ?)", 10000);
        QCOMPARE(tile("downTile"), "50,0");
    }

    void onboarding_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("dock") << "dockButton";
        QTest::newRow("menu bar") << "menuBarButton";
    }

    void onboarding()
    {
        QFETCH(QString, button);
        const bool menuBar = button == "menuBarButton";
        store().remove(PreferenceKeys::onboarded);
        SpeedSettings::setLiveMenuBar(true);
        m_tray = true;
        std::unique_ptr<ModalAnswer> answer(
            answerNextModal(menuBar ? "menuBarButton" : "dockButton"));
        launch();
        QCOMPARE(answer->texts.mid(0, 1) + answer->texts.mid(2),
                 (QStringList{"Bienvenue dans Tachora 🚀", "stored", "Dans le Dock*",
                              "Dans la barre de menus"}));
        QVERIFY(answer->texts.value(1).startsWith("Où veux-tu que l'app vive ?\n\nDans le Dock"));
        QCOMPARE(store().boolValue(PreferenceKeys::menuBarMode), menuBar);
        QCOMPARE(m_app->statusController().isEnabled(), menuBar);
        QCOMPARE(QGuiApplication::quitOnLastWindowClosed(), !menuBar);
        QCOMPARE(m_live.isRunning(), menuBar);
        QTRY_VERIFY(m_app->mainWindow()->isVisible());

        // Asked once; a launch in tray mode shows no window.
        answer.reset(answerNextModal("none"));
        relaunch();
        QTRY_VERIFY(answer->checked);
        QVERIFY(answer->texts.isEmpty());
        QCOMPARE(m_app->mainWindow()->isVisible(), !menuBar);

        // Leaving tray mode stops the live text and brings the window back.
        QCheckBox off;
        m_app->toggleMenuBarMode(&off);
        QVERIFY(!m_live.isRunning());
        QVERIFY(!m_app->statusController().isEnabled());
        QVERIFY(!m_app->statusController().liveText());
        QTRY_VERIFY(m_app->mainWindow()->isVisible());
    }

    void noTrayFallback()
    {
        store().remove(PreferenceKeys::onboarded);
        store().setBool(PreferenceKeys::menuBarMode, true);
        SpeedSettings::setLiveMenuBar(true);
        launch();
        QVERIFY(m_app->mainWindow()->isVisible());
        QVERIFY(QGuiApplication::quitOnLastWindowClosed());
        QVERIFY(!m_app->statusController().isEnabled());
        QVERIFY(!m_live.isRunning());
        QVERIFY(!store().contains(PreferenceKeys::onboarded));
        QVERIFY(store().boolValue(PreferenceKeys::menuBarMode));

        // A tray that comes up a little later takes over.
        m_tray = true;
        QTRY_VERIFY(m_app->statusController().isEnabled());
        QVERIFY(!QGuiApplication::quitOnLastWindowClosed());
        QVERIFY(m_live.isRunning());
    }

    void debugSettings_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("shown");
        QTest::newRow("1") << QByteArray("1") << true;
        for (const char *value : {"true", "01", "1 ", ""})
            QTest::newRow(value) << QByteArray(value) << false;
    }

    void debugSettings()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, shown);
        qputenv("KORVEL_DEBUG_SETTINGS", value);
        launch();
        QCOMPARE(m_app->mainWindow()->showsSettings(), shown);
    }

    void secondInstanceRaisesFirst()
    {
        // A first instance killed outright leaves its lock and socket behind.
        QProcess killed;
        killed.start(TACHORA_PATH);
        SingleInstance instance;
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(instance.socketPath()), 10000);
        killed.kill();
        QVERIFY(killed.waitForFinished());
        QVERIFY(instance.claim());

        store().setBool(PreferenceKeys::menuBarMode, true);
        m_tray = true;
        launch();
        connect(&instance, &SingleInstance::activationRequested, m_app.get(),
                [this] { m_app->showMainWindow(nullptr); });
        QVERIFY(!m_app->mainWindow()->isVisible());
        QProcess second;
        second.start(TACHORA_PATH);
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY(m_app->mainWindow()->isVisible());
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        QTest::newRow("help") << QStringList{"--help"} << 0 << "--server <ORIGINE>";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "tachora 0.1";
        QTest::newRow("bad server") << QStringList{"--server", "ftp://host"} << 2
                                    << "origine invalide pour --server : « ftp://host »";
        QTest::newRow("bad service")
            << QStringList{"--service", "https://host/path"} << 2 << "--service";
    }

    // Without any display to connect to.
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, output);
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(name);
        process.setProcessEnvironment(environment);
        process.start(TACHORA_PATH, arguments);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), status);
        QVERIFY(QString::fromUtf8(status ? process.readAllStandardError()
                                         : process.readAllStandardOutput())
                    .contains(output));
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestApp)
#include "tst_app.moc"
