// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppFixture.h"
#include "FakeService.h"
#include "Pixels.h"
#include "SpeedServerProcess.h"

#include "AlertStyle.h"
#include "AppIcon.h"
#include "LoginItem.h"
#include "MainWindow.h"
#include "ResultArea.h"
#include "SingleInstance.h"

#include "engine/Responsiveness.h"
#include "live/StatusItemController.h"
#include "platform/BuildConfig.h"
#include "platform/PreferencesStore.h"
#include "settings/FrenchTypography.h"
#include "settings/PreferenceKeys.h"
#include "settings/ResultTexts.h"
#include "settings/SpeedHistory.h"
#include "settings/SpeedSettings.h"
#include "views/GaugeGeometry.h"
#include "views/GaugeView.h"
#include "views/HistoryTable.h"
#include "views/Palette.h"
#include "views/ResultTile.h"

#include <QtWidgets>

using namespace std::chrono_literals;
using Result = SpeedTestEngine::Result;

using namespace Pixels;

namespace {

// The right edges of the runs of ink in each band of rows with ink: a run ends where at
// least gap clear columns follow.
QList<QList<int>> inkRunEnds(const QImage &image, const QColor &background, int gap = 6)
{
    const auto hasInk = [&](int x, int y, int width, int height) {
        const auto apart = [&](const QColor &c) {
            return std::abs(c.lightness() - background.lightness()) > 20;
        };
        return ink(image, apart, QRect(x, y, width, height)).count > 0;
    };
    QList<QList<int>> bands;
    for (int y = 0; y < image.height(); ++y) {
        const int top = y;
        while (y < image.height() && hasInk(0, y, image.width(), 1))
            ++y;
        if (y == top)
            continue;
        QList<int> &ends = bands.emplace_back();
        for (int x = 0; x < image.width(); ++x)
            if (hasInk(x, top, 1, y - top) && !hasInk(x + 1, top, gap, y - top))
                ends.append(x);
    }
    return bands;
}

} // namespace

class TestApp : public QObject
{
    Q_OBJECT

    std::unique_ptr<SpeedServerProcess> m_server;
    AppFixture m_fixture;

    // Launches on an engine with short budgets, tuned, against a server started with these
    // arguments, or against a closed port without any.
    void launch(
        const QStringList &serverArguments = {},
        const std::function<void(SpeedTestConfig &)> &tune = [](auto &) {})
    {
        if (!serverArguments.isEmpty()) {
            m_server = std::make_unique<SpeedServerProcess>();
            QVERIFY(m_server->start(serverArguments));
        }
        SpeedTestConfig config =
            TestSupport::quickConfig(m_server ? m_server->origin() : TestSupport::closedOrigin);
        tune(config);
        m_fixture.app.reset();
        m_fixture.engine = std::make_unique<SpeedTestEngine>(config);
        m_fixture.launch();
    }
    // What the window says in each state of a test: against a server at 16 Mbit/s with
    // these arguments, probes that give up quickly, and no update check left in flight
    // when a test ends the application.
    void launchWindow(const QStringList &serverArguments)
    {
        store().setBool(PreferenceKeys::updateAutoCheck, false);
        launch(QStringList{"--down-rate", "2000000"} + serverArguments,
               [](SpeedTestConfig &config) { config.pingTimeout = 250ms; });
    }
    // The test button pressed, and the end of the test awaited.
    void runTest()
    {
        find<QPushButton>("testButton")->click();
        TACHORA_TRY_VERIFY(find<QPushButton>("testButton")->text() == "Lancer le test", 20000);
    }

    static PreferencesStore &store() { return PreferencesStore::shared(); }
    template <class T>
    T *find(const char *name) const
    {
        return m_fixture.find<T>(name);
    }
    GaugeView *gauge() const { return find<GaugeView>("gauge"); }
    QString caption() const { return gauge()->caption(); }
    QString tile(const char *name) const { return find<ResultTile>(name)->valueLabel()->text(); }

    // Where each named widget of the window shows.
    QMap<QString, QRect> places() const
    {
        QWidget *window = m_fixture.app->mainWindow();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QMap<QString, QRect> places;
        for (QWidget *widget : window->findChildren<QWidget *>(QRegularExpression("^[a-z]")))
            if (widget->isVisible())
                places.insert(widget->objectName(), placeIn(window, widget));
        // The history table is as wide as its widest values, whatever else shows.
        QRect &history = places["historyTable"];
        history = QRect(0, history.top(), 0, history.height());
        return places;
    }

private slots:
    void init()
    {
        QFile::remove(store().filePath());
        store().setBool(PreferenceKeys::onboarded, true);
        m_fixture.tray = m_fixture.metered = false;
        m_fixture.opened.clear();
        qunsetenv("KORVEL_DEBUG_SETTINGS");
    }

    void cleanup()
    {
        QVERIFY(m_fixture.quit());
        m_server.reset();
    }

    void resultArea_data()
    {
        // caption|tiles|first history line|lines
        TestSupport::addColumns<int, QString>("stored", "expected");
        QTest::newRow("empty") << 0 << "Prêt à mesurer|—|—|—|Aucun test pour l’instant|1";
        QTest::newRow("five stored")
            << 5 << "Dernier test\u202F: 14:05|93,4|12,0|13 ms|14:05   ↓ 93,4   ↑ 12,0   13 ms|4";
    }

    void resultArea()
    {
        QFETCH(int, stored);
        const QDateTime newest(QDate(2025, 3, 4), QTime(14, 5));
        // Every other one with narrower values, which the history keeps in their columns.
        for (int age = stored - 1; age >= 0; --age)
            SpeedHistory::add(Result(Result::dateFrom(newest.addSecs(-60 * age)),
                                     age % 2 ? 1.5 : 93.4, age % 2 ? 2.0 : 12.04,
                                     age ? 0.4 : 12.5));
        launch();
        const QString history = find<HistoryTable>("historyTable")->text();
        QTEST(QStringList({caption(), tile("downTile"), tile("upTile"), tile("pingTile"),
                           history.section(u'\n', 0, 0), QString::number(history.count(u'\n') + 1)})
                  .join(u'|'),
              "expected");
        QVERIFY(stored < 2 || history.endsWith("   0 ms"));

        MainWindow *window = m_fixture.app->mainWindow();
        const QImage table =
            window->grab().toImage().copy(placeIn(window, find<QWidget>("historyTable")));
        const QList<QList<int>> rows = inkRunEnds(table, window->palette().color(QPalette::Window));
        QCOMPARE(rows.size(), std::clamp(stored, 1, 4));
        // Where a narrow value leaves its sign apart, the line has more runs; every run end
        // of the other line is among its ends all the same.
        for (int row = 1; row < rows.size(); ++row) {
            const bool fewer = rows[row].size() < rows[0].size();
            for (const int end : fewer ? rows[row] : rows[0])
                QVERIFY2((fewer ? rows[0] : rows[row]).contains(end),
                         qPrintable(QString::number(end)));
        }
    }

    // Every control has a name for screen readers; the test button has the focus, Return
    // presses the button that has it, Escape leaves the settings, Ctrl+, opens them and Ctrl+Q
    // quits. The window's menu has the settings and the about box; opened from the keyboard,
    // its first entry is highlighted. The tray's menu shows no shortcut that works only in the
    // window, and starts a test that the item's tool tip follows.
    void window()
    {
        // The debug switch opens the settings only when it is exactly "1".
        qputenv("KORVEL_DEBUG_SETTINGS", "01");
        launchWindow({});
        MainWindow *window = m_fixture.app->mainWindow();
        QVERIFY(QTest::qWaitForWindowActive(window) && !window->showsSettings());
        for (QWidget *control :
             window->mainView()->findChildren<QWidget *>(QRegularExpression("^[a-z]")))
            QVERIFY2(
                !QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name).isEmpty(),
                qPrintable(control->objectName()));
        QCOMPARE(QApplication::focusWidget(), find<QWidget>("testButton"));
        // Focus reached from the keyboard shows on the button's border alone: nothing is drawn
        // over its label.
        find<QWidget>("gearButton")->setFocus();
        for (int tabs = 0; tabs < 10 && QApplication::focusWidget() != find<QWidget>("testButton");
             ++tabs)
            QTest::keyClick(window, Qt::Key_Tab);
        const QImage focused = find<QWidget>("testButton")->grab().toImage();
        find<QWidget>("gearButton")->setFocus();
        const QImage unfocused = find<QWidget>("testButton")->grab().toImage();
        // Inside the border and clear of its rounded corners.
        const qreal ratio = focused.devicePixelRatio();
        const QRect inside = focused.rect().adjusted(qCeil(8 * ratio), qCeil(3 * ratio),
                                                     -qCeil(8 * ratio), -qCeil(3 * ratio));
        QVERIFY(focused != unfocused && focused.copy(inside) == unfocused.copy(inside));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QVERIFY(window->showsSettings() && !m_fixture.engine->isRunning());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QVERIFY(!window->showsSettings());
        QTest::keyClick(window, Qt::Key_Comma, Qt::ControlModifier);
        QVERIFY(window->showsSettings());
        m_fixture.app->showMain(nullptr);

        window->findChild<QAction *>("aboutAction")->trigger();
        auto *about = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(about && about->text().contains(BuildConfig::version));
        QVERIFY(about->informativeText().contains("libcurl"));
        about->accept();

        auto *menu = window->findChild<QMenu *>("mainMenu");
        auto *button = find<QToolButton>("menuButton");
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Space);
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(menu->activeAction(), menu->actions().constFirst());
        QCOMPARE(menu->activeAction()->text(), "Réglages…");
        menu->close();

        QSignalSpy quit(m_fixture.app->findChild<QAction *>("quitAction"), &QAction::triggered);
        QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(quit.count(), 1);

        m_fixture.tray = true;
        m_fixture.app->showSettings(nullptr);
        find<QCheckBox>("menuBarCheckbox")->click();
        QMenu *trayMenu = m_fixture.app->statusController().menu();
        QVERIFY(trayMenu);
        for (QAction *action : trayMenu->actions())
            QVERIFY2(action->shortcut().isEmpty(), qPrintable(action->text()));
        // A test started from it says in the item's tool tip what it measures, then no more.
        QSystemTrayIcon *item = m_fixture.app->statusController().trayIcon();
        const QString idle = item->toolTip();
        trayMenu->actions().constFirst()->trigger();
        QTRY_COMPARE(item->toolTip(), "Tachora\u202F: Ping…");
        QTRY_VERIFY(item->toolTip().startsWith("Tachora\u202F: Descente… ")
                    && item->toolTip().endsWith(" Mbps"));
        TACHORA_TRY_VERIFY(item->toolTip() == idle, 20000);
    }

    // A test started from the keyboard against a server that answers probes 20 ms late
    // during the download: its result in the tile and the history, its latencies under load
    // under the data note, read out to screen readers, without moving anything.
    void endToEnd()
    {
        // A result that measured only its jitter, which shows in a shorter line than the
        // test's; the history's second line moves nothing either.
        SpeedHistory::add(Result(Result::now(), 50, 10, 20, {std::nullopt, std::nullopt, 0.1}));
        // The download lasts past the probes' untimed start.
        launch({"--down-rate", "500000", "--fault", "delay=0@head#5", "--fault", "delay=20@head"},
               [](SpeedTestConfig &config) {
                   config.downloadBudget = 1;
                   config.loadedLatency = {100ms, 300ms};
               });
        QWidget *window = m_fixture.app->mainWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        auto *latency = find<QLabel>("loadedLatencyLabel");
        QVERIFY(latency->isVisible() && find<QLabel>("noteLabel")->isVisible());
        QMap<QString, QRect> before = places();
        const QRect shortPlace = before.take("loadedLatencyLabel");

        QTest::keyClick(window, Qt::Key_Return);
        QCOMPARE(find<QPushButton>("testButton")->text(), "Arrêter le test");
        TACHORA_TRY_VERIFY(caption().startsWith("Dernier test\u202F: "), 20000);
        const Result result = SpeedHistory::all().value(0, Result(0, 0, 0, 0));
        QVERIFY(result.down() > 0 && result.up() > 0 && result.loadedLatencyDown()
                && result.grade());
        QCOMPARE(
            QStringList({tile("downTile"),
                         find<HistoryTable>("historyTable")->text().section(u'\n', 0, 0),
                         QTextDocumentFragment::fromHtml(latency->text()).toPlainText()}),
            QStringList({SpeedSettings::format(result.down()), ResultTexts::historyLine(result),
                         FrenchTypography::typeset(ResultTexts::loadedLatencyText(result))}));
        // The grade stands out, and the line says what its words mean.
        QVERIFY(
            latency->text().contains("<b style=")
            && latency->text().endsWith(
                ">" + Responsiveness::gradeText(*result.grade()).toHtmlEscaped() + "</b></span>"));
        QVERIFY(latency->toolTip().contains("Gigue") && latency->toolTip().contains("A+"));
        QMap<QString, QRect> after = places();
        const QRect latencyPlace = after.take("loadedLatencyLabel");
        QCOMPARE(after, before);
        QCOMPARE(latencyPlace.top(), shortPlace.top());
        QVERIFY(latencyPlace.width() >= latency->sizeHint().width()
                && window->rect().contains(latencyPlace));
        QAccessibleInterface *readout = QAccessible::queryAccessibleInterface(latency);
        QCOMPARE(readout->text(QAccessible::Name), "Latence en charge");
        QCOMPARE(readout->text(QAccessible::Description),
                 ResultTexts::loadedLatencySpokenText(result));

        // A result without them, as stored before they were measured, leaves their line empty
        // and the note where it was.
        SpeedHistory::add(Result(Result::now(), 50, 10, 20));
        m_fixture.launch();
        QVERIFY(!find<QLabel>("loadedLatencyLabel")->isVisible());
        QCOMPARE(places().value("noteLabel"), before.value("noteLabel"));
    }

    void legible_data()
    {
        QTest::addColumn<QString>("palette");
        for (const char *palette : {"light", "dark", "theme"})
            QTest::newRow(palette) << QString(palette);
    }

    // Every text that says something stands out from what is under it by 4.5:1 at least, and
    // every icon by 3:1, measured on what is drawn: in our two palettes, and in the desktop
    // theme's (run under GTK 3's Adwaita, light and dark), where the corner buttons keep our
    // icons in our tint, never the icon theme's.
    void legible()
    {
        QFETCH(QString, palette);
        const QColor text = palette == "dark" ? Qt::white : Qt::black;
        if (palette != "theme") {
            QPalette ours(text, palette == "dark" ? QColor(40, 40, 40) : QColor(236, 236, 236));
            ours.setColor(QPalette::WindowText, text);
            QApplication::setPalette(ours);
        }
        const auto restore = qScopeGuard([] { QApplication::setPalette(QPalette()); });
        SpeedHistory::add(Result(Result::now(), 93.4, 12.04, 17.6));
        launch();
        MainWindow *window = m_fixture.app->mainWindow();
        window->show();
        const auto check = [&](const QString &what, const QRect &region, qreal least = 4.5) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            const qreal ratio = contrast(window->grab().toImage(), region);
            QVERIFY2(ratio >= least, qPrintable(what + ": " + QString::number(ratio)));
        };
        const QColor tint = secondaryLabelColor(window->palette());
        const auto checkPage = [&](QWidget *page) {
            for (auto *button : window->findChildren<QToolButton *>()) {
                if (!button->isVisible())
                    continue;
                const QIcon ours = button->objectName() == "gearButton"   ? AppIcon::settings(tint)
                                   : button->objectName() == "menuButton" ? AppIcon::menu(tint)
                                                                          : AppIcon::back(tint);
                QVERIFY2(button->icon().name().isEmpty(), qPrintable(button->icon().name()));
                QCOMPARE(button->icon().pixmap(16).toImage(), ours.pixmap(16).toImage());
                const QRect icon(button->rect().center() - QPoint(8, 8), QSize(16, 16));
                check(button->objectName(),
                      QRect(button->mapTo(window, icon.topLeft()), icon.size()), 3);
            }
            for (auto *label : page->findChildren<QLabel *>())
                if (label->isVisible() && !label->text().trimmed().isEmpty())
                    check(label->text(),
                          QRect(label->mapTo(window, label->contentsRect().topLeft()),
                                label->contentsRect().size()));
        };
        checkPage(window->mainView());
        const auto *gauge = find<GaugeView>("gauge");
        const qreal captionBottom = gaugeGeometry(gauge->size())->captionBottom;
        const QRect captionBand(
            gauge->mapTo(window, QPoint(gauge->width() / 2 - 65, int(captionBottom) - 14)),
            QSize(130, 14));
        check("history", placeIn(window, find<QWidget>("historyTable")));
        check("caption", captionBand);
        // The button's text on its green.
        check("button", placeIn(window, find<QWidget>("testButton")).adjusted(8, 8, -8, -8));
        // Each responsiveness grade in a colour of its own, as legible as the line's words.
        auto *latency = find<QLabel>("loadedLatencyLabel");
        QSet<QRgb> gradeInks;
        for (const double increase : {0, 10, 40, 100, 300, 500}) {
            const Result graded(Result::now(), 93.4, 12.04, 17.6, {17.6 + increase, {}, 1.0});
            m_fixture.app->findChild<ResultArea *>()->showResult(graded);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            const QImage image = window->grab().toImage();
            const QRect line = placeIn(window, latency);
            const QColor background = image.pixelColor(line.topLeft());
            const QRect ink = Pixels::ink(image, apartFrom(background, 60), line).bounds;
            QFont bold = latency->font();
            bold.setBold(true);
            const QString grade = Responsiveness::gradeText(*graded.grade());
            const int width = QFontMetrics(bold).horizontalAdvance(grade);
            const QRect gradeInk(ink.right() - width + 1, ink.top(), width, ink.height());
            check(grade, gradeInk);
            QColor farthest = background;
            Pixels::ink(
                image,
                [&](const QColor &color) {
                    if (distance(color, background) > distance(farthest, background))
                        farthest = color;
                    return false;
                },
                gradeInk);
            gradeInks.insert(farthest.rgb());
        }
        QCOMPARE(gradeInks.size(), 6);

        // A failure's cause too.
        m_fixture.app->testPressed(nullptr);
        m_fixture.app->testPressed(nullptr);
        QTRY_COMPARE(caption(), "Test annulé");
        check("cause", captionBand);

        // In the settings: unchecked check boxes that stand out from their card.
        m_fixture.app->showSettings(nullptr);
        checkPage(window->settingsView());
        auto *box = find<QCheckBox>("loginCheckbox");
        QVERIFY(!box->isChecked());
        QStyleOptionButton option;
        option.initFrom(box);
        const QRect area = box->style()
                               ->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box)
                               .translated(box->mapTo(window, QPoint()));
        const QImage image = window->grab().toImage();
        const QColor card = image.pixelColor(area.left() - 6, area.center().y());
        const auto apart = [&](const QColor &color) { return contrast(color, card) >= 3; };
        QVERIFY(ink(image, apart, area).count > 0);
    }

    // The application icon is drawn for the pixel ratio of what it is drawn on, as sharp as
    // the picture it comes from.
    void iconSharpAtEveryScale()
    {
        launch();
        auto *icon = find<QWidget>("appIcon");
        for (const qreal ratio : {1.0, 1.25, 2.0}) {
            QPixmap drawn(icon->size() * ratio);
            drawn.setDevicePixelRatio(ratio);
            drawn.fill(Qt::transparent);
            icon->render(&drawn, QPoint(), QRegion(), QWidget::DrawChildren);
            QCOMPARE(drawn.toImage(), AppIcon::applicationPixmap(92, ratio).toImage());
        }
    }

    void onboarding_data()
    {
        TestSupport::addColumns<QString, bool>("answer", "menuBar");
        QTest::newRow("window") << "dockButton" << false;
        QTest::newRow("tray") << "menuBarButton" << true;
        // Dismissed: the default answer, a window.
        QTest::newRow("escape") << "escape" << false;
        QTest::newRow("close button") << "close" << false;
    }

    void onboarding()
    {
        const auto [answer, menuBar] = TestSupport::fetch<QString, bool>("answer", "menuBar");
        store().remove(PreferenceKeys::onboarded);
        SpeedSettings::setLiveMenuBar(m_fixture.tray = true);
        // What the alert that the next launch puts up shows, or "none". It is answered with the
        // named button, or Escape ("escape"), or its window closed ("close"); one that stays
        // open is answered with its first button and marked "stuck".
        QStringList shown;
        QObject watch;
        const auto answerAlert = [&](const QString &button) {
            shown = {"none"};
            QTimer::singleShot(0, &watch, [&shown, button] {
                auto *alert = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                if (!alert)
                    return;
                const auto buttons = alert->buttons();
                const bool styled = alert->width() >= AlertStyle::minimumTextWidth
                                    && !alert->iconPixmap().isNull()
                                    && alert->findChild<QLabel *>("qt_msgbox_label")->font().bold()
                                    && buttons[0]->icon().isNull() && buttons[1]->icon().isNull();
                shown = {alert->text(),
                         alert->informativeText().section(u'\n', 0, 0),
                         store().boolValue(PreferenceKeys::onboarded) ? "stored" : "absent",
                         buttons[0]->text() + (buttons[0] == alert->defaultButton() ? "*" : ""),
                         buttons[1]->text() + (buttons[0]->x() < buttons[1]->x() ? "" : " first"),
                         styled ? "styled" : "plain"};
                if (button == "escape")
                    QTest::keyClick(alert, Qt::Key_Escape);
                else if (button == "close")
                    alert->close();
                else
                    alert->findChild<QPushButton *>(button)->click();
                if (alert->isVisible())
                    shown.append("stuck"), buttons[0]->click();
            });
        };
        answerAlert(answer);
        launch();
        QCOMPARE(shown, (QStringList{"Bienvenue dans Tachora 🚀", "Où veux-tu que l’app vive\u202F?",
                                     "stored", "Dans une fenêtre*", "Dans la zone de notification",
                                     "styled"}));
        // Stored, the tray item, the application staying without a window, the live counters.
        QCOMPARE(
            (QList<bool>{store().boolValue(PreferenceKeys::menuBarMode),
                         m_fixture.app->statusController().isEnabled(),
                         !QGuiApplication::quitOnLastWindowClosed(), m_fixture.live.isRunning()}),
            QList<bool>(4, menuBar));
        QTRY_VERIFY(m_fixture.app->mainWindow()->isVisible());

        // Asked once; a launch in tray mode shows no window.
        answerAlert("none");
        m_fixture.launch();
        QCOMPARE(shown, QStringList{"none"});
        QCOMPARE(m_fixture.app->mainWindow()->isVisible(), !menuBar);
    }

    void noTrayFallback()
    {
        store().remove(PreferenceKeys::onboarded);
        store().setBool(PreferenceKeys::menuBarMode, true);
        SpeedSettings::setLiveMenuBar(true);
        launch();
        QVERIFY(m_fixture.app->mainWindow()->isVisible()
                && QGuiApplication::quitOnLastWindowClosed());
        QVERIFY(!m_fixture.app->statusController().isEnabled() && !m_fixture.live.isRunning());
        QVERIFY(!store().contains(PreferenceKeys::onboarded)
                && store().boolValue(PreferenceKeys::menuBarMode));

        // The watch for a late tray gives up after a few looks; tray mode chosen again starts
        // it afresh.
        auto *watch = m_fixture.app->findChild<QTimer *>("trayWatch");
        QSignalSpy looks(watch, &QTimer::timeout);
        QTRY_VERIFY(!watch->isActive());
        const qsizetype atLaunch = looks.size();
        // Without a tray, its check box cannot be changed and a line in sight says why.
        auto *box = find<QCheckBox>("menuBarCheckbox");
        auto *live = find<QLabel>("liveHint");
        QVERIFY(!box->isEnabled() && !box->toolTip().isEmpty() && !live->isHidden());
        QCOMPARE(live->text(), box->toolTip());
        // Switched off and on again by the user.
        const auto toggleTwice = [&] {
            for (int i = 0; i < 2; ++i) {
                box->toggle();
                m_fixture.app->toggleMenuBarMode(box);
            }
        };
        toggleTwice();
        QTRY_VERIFY(!watch->isActive());
        QCOMPARE(looks.size(), 2 * atLaunch);

        // A tray that comes up a little later takes over.
        toggleTwice();
        m_fixture.tray = true;
        QTRY_VERIFY(m_fixture.app->statusController().isEnabled());
        QVERIFY(!QGuiApplication::quitOnLastWindowClosed() && m_fixture.live.isRunning());
        QVERIFY(box->isEnabled() && box->toolTip().isEmpty() && live->isHidden());
    }

    // A first instance killed outright leaves its lock and socket behind: the next one
    // takes them over.
    void staleInstanceTakenOver()
    {
        QProcess killed;
        TestSupport::startChild(killed, TACHORA_PATH, {"--service", TestSupport::closedOrigin});
        SingleInstance instance;
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(instance.socketPath()), 10000);
        killed.kill();
        QVERIFY(killed.waitForFinished());
        QVERIFY(instance.claim());
    }

    // Runs on a real X server with a tray (tests/app/with-tray.sh), seen through xdotool.
    void realTray()
    {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("needs an X server with a tray: see tests/app/with-tray.sh");
        QTRY_VERIFY_WITH_TIMEOUT(m_fixture.tray = QSystemTrayIcon::isSystemTrayAvailable(), 10000);
        store().setBool(PreferenceKeys::menuBarMode, true);
        launch();
        const QStringList search{"search", "--onlyvisible", "--name", "^Tachora$"};
        const auto mapped = [&] { return TestSupport::run("xdotool", search).status == 0; };
        QVERIFY(!m_fixture.app->mainWindow()->isVisible() && !mapped());
        QTRY_VERIFY_WITH_TIMEOUT(
            !m_fixture.app->statusController().trayIcon()->geometry().isEmpty(), 10000);
        m_fixture.app->showMainWindow(nullptr);
        QTRY_VERIFY(mapped());
        // Closing the window leaves the application running: only the watchdog ends the loop.
        QTimer::singleShot(0, m_fixture.app->mainWindow(), &QWidget::close);
        QTimer::singleShot(500, qApp, [] { QCoreApplication::exit(7); });
        QCOMPARE(QCoreApplication::exec(), 7);
        QVERIFY(m_fixture.app->statusController().isItemVisible());
    }

    // Every control of the settings, with what it changes.
    void settingsView()
    {
        const QString path = LoginItem::filePath(), folder = QFileInfo(path).path();
        QDir(folder).removeRecursively();
        SpeedHistory::add(Result(Result::now(), 93.4, 12.04, 17.6));
        m_fixture.tray = true;
        qputenv("KORVEL_DEBUG_SETTINGS", "1");
        const QString server = "speedtest.a-rather-long-host-name.example:8443";
        m_fixture.engine =
            std::make_unique<SpeedTestEngine>(TestSupport::quickConfig("https://" + server));
        m_fixture.launch();
        QVERIFY(m_fixture.app->mainWindow()->showsSettings());

        // Another server is named by its host and port, without the scheme, shortened in the
        // middle when it is too long, and whole in a tool tip: in the settings and the note.
        auto *note = find<QLabel>("noteLabel");
        QVERIFY2(note->text().startsWith("Test via speedtest.") && note->text().contains(u'…')
                     && note->text().endsWith(".example:8443\u202F: volume selon le débit"),
                 qPrintable(note->text()));
        auto *popUp = find<QComboBox>("serverPopUp");
        const QString shown = popUp->currentText();
        QVERIFY2(shown.startsWith("speed") && shown.endsWith(":8443") && shown.contains(u'…'),
                 qPrintable(shown));
        QVERIFY(note->toolTip() == server && popUp->toolTip() == server);
        // The usual names show whole.
        QStyleOptionComboBox option;
        option.initFrom(popUp);
        QCOMPARE_LE(popUp->fontMetrics().horizontalAdvance("speed.cloudflare.com"),
                    popUp->style()
                            ->subControlRect(QStyle::CC_ComboBox, &option,
                                             QStyle::SC_ComboBoxEditField, popUp)
                            .width()
                        - 4);
        QCOMPARE(ResultTexts::serverText("http://[::1]:8080"), "[::1]:8080");
        QCOMPARE(ResultTexts::serverText("http://127.0.0.1"), "127.0.0.1");

        // Every row as high, check boxes and pop-up buttons alike.
        QSet<int> heights;
        for (const QWidget *row :
             m_fixture.app->mainWindow()->settingsView()->findChildren<QWidget *>(
                 QRegularExpression("Checkbox$|PopUp$|^updatesLabel$")))
            heights.insert(row->height());
        QCOMPARE(heights.size(), 1);

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

        // The live text can be chosen in a window, where a line says it shows only in the tray;
        // there, it follows its checkbox at once.
        auto *live = find<QCheckBox>("liveCheckbox");
        auto *hint = find<QLabel>("liveHint");
        live->click();
        QVERIFY(SpeedSettings::liveMenuBar() && !m_fixture.live.isRunning() && hint->isVisible());
        find<QCheckBox>("menuBarCheckbox")->click();
        QVERIFY(m_fixture.live.isRunning() && !hint->isVisible());
        live->click();
        QVERIFY(!m_fixture.live.isRunning());

        // Opening at login.
        auto *box = find<QCheckBox>("loginCheckbox");
        box->click();
        const QByteArray exec = QCoreApplication::applicationFilePath().toUtf8();
        QVERIFY(TestSupport::readFile(path).contains("\nExec=" + exec + "\n"));

        // Turned off by the desktop's own settings.
        QVERIFY(TestSupport::writeFile(path, "Hidden=true\n", {}, QIODevice::Append));
        m_fixture.app->showSettings(nullptr);
        QVERIFY(!box->isChecked());
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
        QVERIFY(TestSupport::readFile(path).contains("\nExec=\"/opt/My Apps/a\\\\$b\\\\\\\\c\"\n"));
    }

    void updateAlerts()
    {
        launch();
        if (!m_fixture.app->updater())
            QSKIP("this build leaves updates to the package manager");
        const auto shown = [] { return AppFixture::shown("updateAlert"); };
        // A failed check says so, and the OK button Qt adds gets no icon either.
        m_fixture.app->findChild<QAction *>("updateAction")->trigger();
        QTRY_VERIFY(shown());
        QCOMPARE(shown()->text(), "Impossible de rechercher les mises à jour");
        QVERIFY(shown()->buttons().size() == 1 && shown()->buttons()[0]->icon().isNull());

        // Notes of a thousand lines scroll inside an alert that fits on the screen; what would
        // hide or reorder the text is not shown, and the rest is not retouched.
        const QByteArray package = "!<arch>\ndebian-binary";
        const QString file = m_fixture.cache.filePath("tachora_9.9.9.deb");
        QVERIFY(TestSupport::writeFile(file, package));
        const QString lines =
            QString::fromUtf8("ligne\x1b[31m \u202Egnp.exe\t! ?\r\n").repeated(1200);
        Updater::Update update("9.9.9", "http://127.0.0.1:9/tachora.deb", package.size(),
                               QCryptographicHash::hash(package, QCryptographicHash::Sha256),
                               Ed25519::sign(package, m_fixture.keys.secretKey), lines,
                               QDateTime());
        m_fixture.app->updater()->onUpdateFound(update, file);
        QTRY_COMPARE(shown()->text(), "Tachora 9.9.9 est disponible");
        const QString notes = shown()->informativeText();
        QVERIFY(notes.contains("\n\nligne[31m gnp.exe\t! ?\nligne") && !notes.contains(u'\x1b')
                && !notes.contains(QChar(0x202E)) && !notes.contains(u'\r'));
        QVERIFY2(shown()->height() <= shown()->screen()->availableGeometry().height(),
                 QByteArray::number(shown()->height()));

        // The package, already in the cache, opens with the desktop's installer; where no
        // PackageKit answers, its folder opens, and the alert gives the command as it must be
        // typed.
        shown()->findChild<QPushButton *>("installButton")->click();
        QTRY_COMPARE(m_fixture.opened, QList<QUrl>{QUrl::fromLocalFile(m_fixture.cache.path())});
        QTRY_COMPARE(shown()->text(), "Installe Tachora 9.9.9 toi-même");
        QVERIFY2(shown()->informativeText().endsWith("\n\nsudo apt install '" + file + "'"),
                 qPrintable(shown()->informativeText()));

        // A package on its way shows its progress; "Annuler" stops it, and nothing more is said.
        FakeService server;
        server.trickle = 100ms;
        server.handler = [&](const FakeService::Request &) {
            return FakeService::Answer{200, package};
        };
        update.version = "9.9.10";
        update.url = server.origin().toUtf8() + "/tachora.deb";
        m_fixture.app->updater()->onUpdateFound(update, std::nullopt);
        QTRY_VERIFY(shown() && shown()->text() == "Tachora 9.9.10 est disponible");
        shown()->findChild<QPushButton *>("installButton")->click();
        const auto progress = [] { return AppFixture::shown<QProgressDialog>("downloadProgress"); };
        QTRY_VERIFY(progress() && progress()->value() > 2);
        QCOMPARE(progress()->maximum(), package.size());
        progress()->findChild<QPushButton *>()->click();
        QTRY_VERIFY(!progress() && !m_fixture.app->updater()->isDownloading());
        QVERIFY(!shown() && m_fixture.opened.size() == 1);
    }

    // A phase that moved nothing shows no rate but its own cause; probes that timed out
    // before others answered do not explain phases that moved nothing.
    void phaseThatMovedNothing_data()
    {
        // caption|gauge number|down|up|history's dash
        TestSupport::addColumns<QStringList, QString>("serverArguments", "expected");
        QTest::newRow("upload refused")
            << QStringList{"--fault", "status=403@up"}
            << "Montée impossible\u202F: le serveur a répondu HTTP 403|shown|rate|—|↑ —";
        QTest::newRow("download refused")
            << QStringList{"--fault", "status=503@down"}
            << "Descente impossible\u202F: le serveur a répondu HTTP 503|none|—|rate|↓ —";
        QTest::newRow("download cut at once")
            << QStringList{"--fault", "close-after=0@down"}
            << "Descente impossible\u202F: connexion interrompue|none|—|rate|↓ —";
        QTest::newRow("late probes, then no download")
            << QStringList{"--fault", "delay=1000@head#1", "--fault", "stall@down"}
            << "Descente impossible|none|—|rate|↓ —";
    }

    // On a metered connection, the session's first test asks first. Declined, nothing runs;
    // accepted, the test runs, and the next ones do not ask, even once it was stopped.
    void meteredConnectionAsks()
    {
        m_fixture.metered = true;
        launchWindow({});
        auto *button = find<QPushButton>("testButton");
        button->click();
        QMessageBox *alert = AppFixture::shown("meteredAlert");
        QVERIFY(alert && alert->informativeText().endsWith("plus d’1 Go. Lancer quand même\u202F?")
                && !m_fixture.engine->isRunning());
        QTest::keyClick(alert, Qt::Key_Return);
        QTRY_VERIFY(!AppFixture::shown("meteredAlert"));
        QVERIFY(!m_fixture.engine->isRunning());
        button->click();
        QTRY_VERIFY(alert = AppFixture::shown("meteredAlert"));
        alert->findChild<QPushButton *>("meteredGoButton")->click();
        QVERIFY(m_fixture.engine->isRunning());
        button->click();
        QTRY_VERIFY(!m_fixture.engine->isRunning());
        button->click();
        QVERIFY(m_fixture.engine->isRunning() && !AppFixture::shown("meteredAlert"));
        // Left running, its probe would outlive the engine the next test replaces it with.
        button->click();
        QTRY_VERIFY(!m_fixture.engine->isRunning());
    }

    void phaseThatMovedNothing()
    {
        QFETCH(QStringList, serverArguments);
        launchWindow(serverArguments);
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

    // While a test runs, and after it failed or was cancelled, the tiles keep the last result
    // marked as an earlier one and the gauge shows no number, not a rate of zero; a failure
    // says why, even after a cancelled test; a new result clears the mark.
    void previousResultMarked()
    {
        const QDateTime time(QDate::currentDate(), QTime(15, 51));
        SpeedHistory::add(Result(Result::dateFrom(time), 93.4, 12.04, 20));
        // Three of the first test's probes go unanswered, too many for a ping; the others'
        // are answered.
        launchWindow({"--fault", "stall@head#3"});
        auto *previous = find<QLabel>("previousLabel");
        auto *button = find<QPushButton>("testButton");
        QVERIFY(previous && previous->text().isEmpty());
        const auto marked = [this] {
            return find<ResultTile>("downTile")->isPrevious()
                   && find<ResultTile>("pingTile")->isPrevious();
        };
        const auto display = [this] { return gauge()->readoutValue() + u'|' + tile("downTile"); };
        QVERIFY(!marked());

        button->click();
        QCOMPARE(previous->text(), "Précédent · 15:51");
        QVERIFY(marked() && !gauge()->hasValue());
        QCOMPARE(gauge()->caption(), "Ping\u202F: mesure de la latence…");
        TACHORA_TRY_VERIFY(button->text() == "Lancer le test", 20000);
        QCOMPARE(gauge()->caption(), "Test impossible\u202F: délai d’attente dépassé");
        QVERIFY(marked() && previous->text() == "Précédent · 15:51" && display() == "|93,4");

        runTest();
        const QString down = tile("downTile");
        QVERIFY(gauge()->caption().startsWith("Dernier test"));
        QVERIFY(!marked() && previous->text().isEmpty() && down != "93,4");

        button->click();
        QTRY_COMPARE_WITH_TIMEOUT(caption(), "Descente…", 10000);
        button->click();
        QTRY_COMPARE_WITH_TIMEOUT(caption(), "Test annulé", 10000);
        QCOMPARE(display() + u'|' + button->text(), u'|' + down + "|Lancer le test");
        m_server.reset();
        button->click();
        QTRY_COMPARE_WITH_TIMEOUT(caption(), "Test impossible\u202F: connexion refusée", 10000);
        QVERIFY(marked() && display() == u'|' + down);
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestApp)
#include "tst_app.moc"
