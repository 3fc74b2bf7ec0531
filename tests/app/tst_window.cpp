// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppFixture.h"
#include "Pixels.h"
#include "SpeedServerProcess.h"

#include "AppDelegate.h"
#include "AppIcon.h"
#include "MainWindow.h"

#include "service/ReportAlert.h"

#include "live/LiveThroughputMonitor.h"
#include "live/StatusItemController.h"
#include "platform/BuildConfig.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"
#include "settings/SpeedHistory.h"
#include "settings/SpeedSettings.h"
#include "views/GaugeView.h"
#include "views/HistoryTable.h"
#include "views/Palette.h"
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
    AppFixture m_fixture;

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
        m_fixture.app.reset();
        m_fixture.engine = std::make_unique<SpeedTestEngine>(config);
        m_fixture.launch();
    }

    template <class T>
    T *find(const char *name) const
    {
        return m_fixture.find<T>(name);
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
        // No update check in flight when a test ends the application: these tests are not
        // about updates.
        PreferencesStore::shared().setBool(PreferenceKeys::updateAutoCheck, false);
        m_fixture.tray = false;
    }

    void cleanup()
    {
        QVERIFY(m_fixture.quit());
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

    // Under the desktop's own theme (run under GTK 3's Adwaita, light and dark), the corner
    // buttons keep our icons in our tint, and every text and icon stands out from what is
    // under it, measured on what is drawn.
    void legibleUnderDesktopTheme()
    {
        SpeedHistory::add(Result(Result::now(), 93.4, 12.04, 17.6));
        launch({});
        MainWindow *window = m_fixture.app->mainWindow();
        const auto check = [window](QWidget *page) {
            window->show();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            const QImage image = window->grab().toImage();
            const auto place = [window](const QWidget *widget, const QRect &rect) {
                return QRect(widget->mapTo(window, rect.topLeft()), rect.size());
            };
            const QColor tint = secondaryLabelColor(window->palette());
            for (auto *button : page->window()->findChildren<QToolButton *>()) {
                if (!button->isVisible())
                    continue;
                const QIcon ours = button->objectName() == "gearButton"   ? AppIcon::settings(tint)
                                   : button->objectName() == "menuButton" ? AppIcon::menu(tint)
                                                                          : AppIcon::back(tint);
                // Not the icon theme's, which has a name.
                QVERIFY2(button->icon().name().isEmpty(), qPrintable(button->icon().name()));
                QCOMPARE(button->icon().pixmap(16).toImage(), ours.pixmap(16).toImage());
                const QRect icon(button->rect().center() - QPoint(8, 8), QSize(16, 16));
                const qreal ratio = Pixels::contrast(image, place(button, icon));
                QVERIFY2(ratio >= 3,
                         qPrintable(button->objectName() + ": " + QString::number(ratio)));
            }
            for (auto *label : page->findChildren<QLabel *>()) {
                if (!label->isVisible() || label->text().trimmed().isEmpty())
                    continue;
                const qreal ratio = Pixels::contrast(image, place(label, label->contentsRect()));
                QVERIFY2(ratio >= 4.5, qPrintable(label->text() + ": " + QString::number(ratio)));
            }
        };
        check(window->mainView());
        m_fixture.app->showSettings(nullptr);
        check(window->settingsView());
    }

    // A test started from the tray says in the item's tool tip what it measures, then no more.
    void trayToolTipFollowsTheTest()
    {
        m_fixture.tray = true;
        PreferencesStore::shared().setBool(PreferenceKeys::menuBarMode, true);
        launch({});
        QSystemTrayIcon *item = m_fixture.app->statusController().trayIcon();
        QVERIFY(item);
        const QString idle = item->toolTip();
        m_fixture.app->statusController().menu()->actions().constFirst()->trigger();
        QTRY_COMPARE(item->toolTip(), "Tachora\u202F: Ping…");
        QTRY_VERIFY(item->toolTip().startsWith("Tachora\u202F: Descente… ")
                    && item->toolTip().endsWith(" Mbps"));
        QTRY_COMPARE_WITH_TIMEOUT(item->toolTip(), idle, 20000);
    }

    // In a window, the live text can be chosen for later, and a line says where it shows.
    void liveTextChosenInWindow()
    {
        launch({});
        m_fixture.app->showSettings(nullptr);
        auto *live = find<QCheckBox>("liveCheckbox");
        auto *hint = find<QLabel>("liveHint");
        QVERIFY(hint && hint->isVisible() && hint->text().contains("zone de notification"));
        live->click();
        QVERIFY(SpeedSettings::liveMenuBar() && !m_fixture.live.isRunning());
    }

    // The window's menu has the settings, with their usual shortcut, and the about box; opened
    // from the keyboard, its first entry is highlighted. The tray's menu shows no shortcut
    // that works only in the window.
    void menus()
    {
        launch({});
        MainWindow *window = m_fixture.app->mainWindow();
        auto *menu = window->findChild<QMenu *>("mainMenu");
        QCOMPARE(menu->actions().constFirst()->text(), "Réglages…");
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window, Qt::Key_Comma, Qt::ControlModifier);
        QVERIFY(window->showsSettings());
        m_fixture.app->showMain(nullptr);

        window->findChild<QAction *>("aboutAction")->trigger();
        auto *about = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(about && about->text().contains(BuildConfig::version));
        QVERIFY(about->informativeText().contains("libcurl"));
        about->accept();

        auto *button = find<QToolButton>("menuButton");
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Space);
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(menu->activeAction(), menu->actions().constFirst());
        menu->close();

        m_fixture.tray = true;
        m_fixture.app->showSettings(nullptr);
        find<QCheckBox>("menuBarCheckbox")->click();
        QVERIFY(m_fixture.app->statusController().menu());
        for (QAction *action : m_fixture.app->statusController().menu()->actions())
            QVERIFY2(action->shortcut().isEmpty(), qPrintable(action->text()));
    }

    // A report that did not go says why, from the answer's status.
    void reportAlerts_data()
    {
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected"); // title|start of the text
        using enum ReportOutcome;
        QTest::newRow("taken") << int(sent) << 200 << "Merci !|Ton signalement est bien parti";
        QTest::newRow("too long") << int(refused) << 413
                                  << "Envoi refusé|Ton message est trop long pour le service";
        QTest::newRow("forbidden")
            << int(refused) << 403 << "Envoi refusé|Le service a refusé ton message (HTTP 403)";
        QTest::newRow("unknown") << int(refused) << 404
                                 << "Envoi refusé|Le service a refusé ton message (HTTP 404)";
        QTest::newRow("unavailable")
            << int(failed) << 503 << "Envoi impossible|Le service est indisponible pour le moment";
        QTest::newRow("no answer")
            << int(failed) << 0 << "Envoi impossible|Impossible d'envoyer pour le moment";
    }

    void reportAlerts()
    {
        QFETCH(int, outcome);
        QFETCH(int, status);
        QFETCH(QString, expected);
        const ReportAlert::Text alert =
            ReportAlert::forAnswer({ReportOutcome(outcome), status}, "aide@example.org");
        QVERIFY2((alert.title + u'|' + alert.text).startsWith(expected), qPrintable(alert.text));
        // Whatever the cause, the text is in the form for next time, or where to write.
        QVERIFY(outcome == int(ReportOutcome::sent) || alert.text.contains("formulaire")
                || alert.text.contains("aide@example.org"));
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestWindow)
#include "tst_window.moc"
