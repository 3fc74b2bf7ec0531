#include "FakeService.h"
#include "TestSupport.h"

#include "SpeedServerProcess.h"

#include "AlertStyle.h"
#include "AppDelegate.h"
#include "AppIcon.h"
#include "LoginItem.h"
#include "MainWindow.h"
#include "SingleInstance.h"

#include "service/ServiceClient.h"
#include "update/Ed25519.h"

#include "live/LiveThroughputMonitor.h"
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

namespace {

const QChar nnbsp(0x202F);

QPalette appearance(bool dark)
{
    const QColor text = dark ? Qt::white : Qt::black;
    QPalette palette(text, dark ? QColor(40, 40, 40) : QColor(236, 236, 236));
    palette.setColor(QPalette::WindowText, text);
    return palette;
}

qreal luminance(const QColor &color)
{
    const auto linear = [](float v) {
        return v <= 0.04045f ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF())
           + 0.0722 * linear(color.blueF());
}

// The contrast ratio between the lightest and the darkest pixel of the region.
qreal contrast(const QImage &image, const QRect &region)
{
    qreal darkest = 1, lightest = 0;
    for (int y = region.top(); y <= region.bottom(); ++y)
        for (int x = region.left(); x <= region.right(); ++x) {
            const qreal l = luminance(image.pixelColor(x, y));
            darkest = std::min(darkest, l), lightest = std::max(lightest, l);
        }
    return (lightest + 0.05) / (darkest + 0.05);
}

// The window as a screen of this pixel ratio shows it.
QImage renderAt(QWidget *window, qreal ratio)
{
    QPixmap pixmap(window->size() * ratio);
    pixmap.setDevicePixelRatio(ratio);
    window->render(&pixmap);
    return pixmap.toImage();
}

// Where a widget of the window lands on such a screen.
QRect deviceRect(const QWidget *widget, const QWidget *window, qreal ratio)
{
    const QRectF logical(widget->mapTo(window, QPoint()), widget->size());
    return QRectF(logical.topLeft() * ratio, logical.size() * ratio).toRect();
}

// The pixels of the region that differ from the background colour.
QRect inkBounds(const QImage &image, const QRect &region, const QColor &background)
{
    QRect ink;
    for (int y = region.top(); y <= region.bottom(); ++y)
        for (int x = region.left(); x <= region.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - background.red()) + std::abs(c.green() - background.green())
                    + std::abs(c.blue() - background.blue())
                > 60)
                ink |= QRect(x, y, 1, 1);
        }
    return ink;
}

// The right edges of the runs of ink in each band of rows with ink: a run ends where at
// least gap clear columns follow.
QList<QList<int>> inkRunEnds(const QImage &image, const QColor &background, int gap = 6)
{
    QList<QList<int>> bands;
    int y = 0;
    while (y < image.height()) {
        const auto rowHasInk = [&](int row) {
            return !inkBounds(image, QRect(0, row, image.width(), 1), background).isEmpty();
        };
        if (!rowHasInk(y)) {
            ++y;
            continue;
        }
        const int top = y;
        while (y < image.height() && rowHasInk(y))
            ++y;
        QList<int> ends;
        int clear = gap;
        for (int x = 0; x < image.width(); ++x) {
            if (!inkBounds(image, QRect(x, top, 1, y - top), background).isEmpty()) {
                if (clear < gap && !ends.isEmpty())
                    ends.removeLast();
                ends.append(x);
                clear = 0;
            } else {
                ++clear;
            }
        }
        bands.append(ends);
    }
    return bands;
}

} // namespace

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

    // Answers the alert that the next launch puts up, if any: clicks the named button, or
    // presses Escape ("escape") or closes its window ("close"). An alert that stays open is
    // answered with its first button and marked "stuck".
    void answerAlert(const QString &button)
    {
        m_alert = {"none"};
        m_alertWatch = std::make_unique<QObject>();
        QTimer::singleShot(0, m_alertWatch.get(), [this, button] {
            auto *alert = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!alert)
                return;
            const auto buttons = alert->buttons();
            const auto *label = alert->findChild<QLabel *>("qt_msgbox_label");
            bool styled = alert->width() >= AlertStyle::minimumTextWidth
                          && !alert->iconPixmap().isNull() && label->font().bold();
            for (const QAbstractButton *each : buttons)
                styled = styled && each->icon().isNull();
            m_alert = {alert->text(),
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
            if (alert->isVisible()) {
                m_alert.append("stuck");
                buttons[0]->click();
            }
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
        QTest::newRow("empty") << 0 << false << "Prêt à mesurer|—|—|—|Aucun test pour l'instant|1";
        QTest::newRow("five stored")
            << 5 << false
            << "Dernier test\u202F: 14:05|93,4|12,0|13 ms|14:05   ↓ 93,4   ↑ 12,0   13 ms|4";
        QTest::newRow("megabytes") << 1 << true
                                   << "Dernier test\u202F: 14:05|11,7|1,5|13 ms|14:05   ↓ 11,7   ↑ "
                                      "1,5   13 ms|1";
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
        const QString history = find<HistoryTable>("historyTable")->text();
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
        for (const QColor &windowColor : {QColor(236, 236, 236), QColor(40, 40, 40)}) {
            QApplication::setPalette(QPalette(windowColor));
            const QImage button = find<QPushButton>("testButton")->grab().toImage();
            QVERIFY2(contrast(button, button.rect().adjusted(8, 8, -8, -8)) > 4.5,
                     qPrintable(windowColor.name()));
        }
        QApplication::setPalette(QPalette());
    }

    // After a test, its latencies under load take the data note's place, legible in both
    // appearances, read out to screen readers, and without moving anything.
    void loadedLatencyInPlaceOfTheNote()
    {
        // Four lines of history before the test and after it; the newest measured only its
        // jitter, which shows in a shorter line than the test's.
        for (int i = 0; i < 4; ++i)
            SpeedHistory::add(Result(Result::now(), 50, 10, 20, {std::nullopt, std::nullopt, 0.1}));
        // The download lasts past the probes' untimed first second; they are answered 20 ms
        // late, the idle ones at once.
        launch({"--down-rate", "500000", "--fault", "delay=0@head#5", "--fault", "delay=20@head"},
               2);
        QWidget *window = m_app->mainWindow();
        const auto places = [this] {
            QWidget *window = m_app->mainWindow();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            QMap<QString, QRect> places;
            for (QWidget *widget : window->findChildren<QWidget *>(QRegularExpression("^[a-z]")))
                if (widget->isVisible())
                    places.insert(widget->objectName(),
                                  QRect(widget->mapTo(window, QPoint()), widget->size()));
            // The history table is as wide as its widest values, whatever else shows.
            const QRect history = places.value("historyTable");
            places["historyTable"] = QRect(0, history.top(), 0, history.height());
            return places;
        };
        auto *note = find<QLabel>("noteLabel");
        auto *latency = find<QLabel>("loadedLatencyLabel");
        QVERIFY(latency->isVisible() && !note->isVisible());
        QCOMPARE(latency->text(),
                 "Latence en charge\u202F: ↓ \u2014 · ↑ \u2014 · gigue 0 ms · réactivité \u2014");
        QMap<QString, QRect> before = places();
        const QRect shortPlace = before.take("loadedLatencyLabel");

        find<QPushButton>("testButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(caption().startsWith("Dernier test\u202F: "), 20000);
        const Result result = SpeedHistory::all().value(0, Result(0, 0, 0, 0));
        QVERIFY(result.loadedLatencyDown() && result.grade());
        QCOMPARE(latency->text(),
                 FrenchTypography::typeset(ResultTexts::loadedLatencyText(result)));
        QVERIFY(latency->isVisible() && !note->isVisible());
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

        for (const QColor &windowColor :
             {QColor(Qt::white), QColor(236, 236, 236), QColor(40, 40, 40)}) {
            QApplication::setPalette(QPalette(windowColor));
            const QColor text = latency->palette().color(QPalette::WindowText);
            const QColor background = window->palette().color(QPalette::Window);
            const qreal alpha = text.alphaF();
            const QColor shown =
                QColor::fromRgbF(float(text.redF() * alpha + background.redF() * (1 - alpha)),
                                 float(text.greenF() * alpha + background.greenF() * (1 - alpha)),
                                 float(text.blueF() * alpha + background.blueF() * (1 - alpha)));
            const qreal lighter = std::max(luminance(shown), luminance(background));
            const qreal darker = std::min(luminance(shown), luminance(background));
            QVERIFY2((lighter + 0.05) / (darker + 0.05) >= 4.5, qPrintable(windowColor.name()));
        }
        QApplication::setPalette(QPalette());

        // A result without them, as stored before they were measured, brings the note back
        // in the same place.
        SpeedHistory::add(Result(Result::now(), 50, 10, 20));
        relaunch();
        QVERIFY(!find<QLabel>("loadedLatencyLabel")->isVisible());
        QCOMPARE(places().value("noteLabel"), latencyPlace);
    }

    void legibleInBothAppearances_data() { TestSupport::addBoolRows("dark", "light", "dark"); }

    // Every text that says something stands out from what is under it by 4.5:1 at least.
    void legibleInBothAppearances()
    {
        QFETCH(bool, dark);
        QApplication::setPalette(appearance(dark));
        const auto restore = qScopeGuard([] { QApplication::setPalette(QPalette()); });
        SpeedHistory::add(Result(Result::now(), 93.4, 12.04, 17.6));
        launch();
        MainWindow *window = m_app->mainWindow();
        const auto *gauge = find<GaugeView>("gauge");
        const qreal captionBottom = gaugeGeometry(gauge->size())->captionBottom;
        const QRect captionBand(gauge->mapTo(window, QPoint(60, int(captionBottom) - 14)),
                                QSize(130, 14));
        const auto check = [&](const QString &what, const QRect &region) {
            const qreal ratio = contrast(renderAt(window, 1), region);
            QVERIFY2(ratio >= 4.5, qPrintable(what + ": " + QString::number(ratio)));
        };
        for (const char *name : {"historyTable", "noteLabel", "subtitleLabel"})
            check(name, deviceRect(find<QWidget>(name), window, 1));
        check("caption", captionBand);
        check("tile title", deviceRect(find<ResultTile>("downTile")->titleLabel(), window, 1));
        // A failure's cause too.
        m_app->testPressed(nullptr), m_app->testPressed(nullptr);
        QTRY_COMPARE(caption(), "Test annulé");
        check("cause", captionBand);
    }

    // What the window draws is whole at every pixel ratio, and the application icon as
    // sharp as the picture it comes from.
    void wholeAndSharpAtEveryScale()
    {
        SpeedHistory::add(Result(Result::now(), 93.4, 12.04, 17.6));
        launch();
        MainWindow *window = m_app->mainWindow();
        const QColor background = window->palette().color(QPalette::Window);
        const auto inkAt = [&](const QImage &image, QWidget *widget, qreal ratio) {
            return inkBounds(image, deviceRect(widget, window, ratio), background);
        };
        QList<QWidget *> parts;
        for (const char *name : {"appIcon", "gauge", "gearButton", "menuButton", "downTile"})
            parts.append(find<QWidget>(name));
        const QImage plain = renderAt(window, 1);
        m_app->showSettings(nullptr);
        auto *back = find<QWidget>("backButton");
        const QImage plainSettings = renderAt(window, 1);
        m_app->showMain(nullptr);
        for (const qreal ratio : {1.25, 1.5, 2.0, 3.0}) {
            const QString scale = QString::number(ratio);
            const QImage image = renderAt(window, ratio);
            for (QWidget *part : parts) {
                const QRect one = inkAt(plain, part, 1), scaled = inkAt(image, part, ratio);
                QVERIFY2(std::abs(scaled.width() - one.width() * ratio) <= ratio + 1
                             && std::abs(scaled.height() - one.height() * ratio) <= ratio + 1,
                         qPrintable(part->objectName() + " at " + scale));
            }
            // The icon matches the picture rendered at the screen's own resolution.
            auto *icon = find<QWidget>("appIcon");
            QPixmap drawn(icon->size() * ratio);
            drawn.setDevicePixelRatio(ratio);
            drawn.fill(Qt::transparent);
            icon->render(&drawn, QPoint(), QRegion(), QWidget::DrawChildren);
            const QImage got = drawn.toImage().convertToFormat(QImage::Format_ARGB32);
            const QImage want = AppIcon::applicationPixmap(92, ratio).toImage().convertToFormat(
                QImage::Format_ARGB32);
            QCOMPARE(got.size(), want.size());
            int opaque = 0, same = 0;
            for (int y = 0; y < want.height(); ++y)
                for (int x = 0; x < want.width(); ++x) {
                    const QColor a = want.pixelColor(x, y), b = got.pixelColor(x, y);
                    if (a.alpha() < 255)
                        continue;
                    ++opaque;
                    same += std::abs(a.red() - b.red()) + std::abs(a.green() - b.green())
                                + std::abs(a.blue() - b.blue())
                            <= 6;
                }
            QVERIFY2(same >= 0.99 * opaque,
                     qPrintable("icon at " + scale + ": " + QString::number(same) + "/"
                                + QString::number(opaque)));

            m_app->showSettings(nullptr);
            const QRect one = inkAt(plainSettings, back, 1);
            const QRect scaled = inkAt(renderAt(window, ratio), back, ratio);
            m_app->showMain(nullptr);
            QVERIFY2(std::abs(scaled.width() - one.width() * ratio) <= ratio + 1,
                     qPrintable("back at " + scale));
        }
    }

    // The result area keeps its place from the first result to the fourth line, and the
    // lines keep their values in columns.
    void historyHoldsItsPlace()
    {
        QList<int> tops;
        for (int stored = 0; stored <= 4; ++stored) {
            if (stored)
                SpeedHistory::add(Result(Result::now(), stored % 2 ? 1.5 : 93.5,
                                         stored % 2 ? 2.0 : 12.0, stored % 2 ? 8 : 18));
            launch();
            m_app->mainWindow()->mainView()->layout()->activate();
            tops.append(find<GaugeView>("gauge")->mapTo(m_app->mainWindow(), QPoint()).y());
        }
        QCOMPARE(tops, QList<int>(tops.size(), tops.first()));

        MainWindow *window = m_app->mainWindow();
        const QImage table =
            renderAt(window, 1).copy(deviceRect(find<QWidget>("historyTable"), window, 1));
        const QList<QList<int>> rows = inkRunEnds(table, window->palette().color(QPalette::Window));
        QCOMPARE(rows.size(), 4);
        // Where a narrow value leaves its sign apart, the line has more runs; every run end
        // of the other line is among its ends all the same.
        for (int row = 1; row < rows.size(); ++row) {
            const QList<int> &fewer = rows[row].size() < rows[0].size() ? rows[row] : rows[0];
            const QList<int> &more = rows[row].size() < rows[0].size() ? rows[0] : rows[row];
            for (const int end : fewer)
                QVERIFY2(more.contains(end), qPrintable(QString::number(end)));
        }
    }

    void keyboard()
    {
        launch();
        MainWindow *window = m_app->mainWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QCOMPARE(QApplication::focusWidget(), find<QWidget>("testButton"));
        // From the top of the window to its bottom, and round again.
        QStringList order;
        for (int step = 0; step < 3; ++step) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order.append(QApplication::focusWidget()->objectName());
        }
        QCOMPARE(order, (QStringList{"gearButton", "menuButton", "testButton"}));

        // Return presses the button that has the focus, Escape leaves the settings.
        find<QWidget>("gearButton")->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QVERIFY(window->showsSettings() && !m_engine->isRunning());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QVERIFY(!window->showsSettings());
    }

    // With another server, the window names it: the note by its host, the settings by its
    // origin, shortened in the middle when it is too long, and whole in a tool tip.
    void otherServerNamed()
    {
        const QString origin = "https://speedtest.a-rather-long-host-name.example:8443";
        SpeedTestConfig config;
        config.host = origin;
        m_engine = std::make_unique<SpeedTestEngine>(config);
        relaunch();
        const QString note = find<QLabel>("noteLabel")->text();
        QVERIFY2(note.startsWith("Test via speedtest.") && note.contains(u'…')
                     && note.endsWith(".example\u202F: quelques dizaines de Mo échangés"),
                 qPrintable(note));
        QCOMPARE(find<QLabel>("noteLabel")->toolTip(), "speedtest.a-rather-long-host-name.example");
        auto *popUp = find<QComboBox>("serverPopUp");
        const QString shown = popUp->currentText();
        QVERIFY2(shown.startsWith("https:") && shown.endsWith(":8443") && shown.contains(u'…'),
                 qPrintable(shown));
        QCOMPARE(popUp->toolTip(), origin);
    }

    // The settings' controls in a dark appearance: the back chevron in the corner buttons'
    // tint, push buttons with room around their text, check boxes that show.
    void settingsLegible()
    {
        QApplication::setPalette(appearance(true));
        const auto restore = qScopeGuard([] { QApplication::setPalette(QPalette()); });
        launch();
        m_app->showSettings(nullptr);
        MainWindow *window = m_app->mainWindow();
        const QImage chevron = find<QToolButton>("backButton")
                                   ->icon()
                                   .pixmap(16)
                                   .toImage()
                                   .convertToFormat(QImage::Format_ARGB32);
        const QColor tint = secondaryLabelColor(window->palette());
        int inked = 0;
        for (int y = 0; y < chevron.height(); ++y)
            for (int x = 0; x < chevron.width(); ++x) {
                const QColor pixel = chevron.pixelColor(x, y);
                if (pixel.alpha() < 64)
                    continue;
                ++inked;
                QVERIFY2(std::abs(pixel.red() - tint.red()) <= 2
                             && std::abs(pixel.blue() - tint.blue()) <= 2,
                         qPrintable(pixel.name()));
            }
        QVERIFY(inked > 10);

        for (const char *name : {"updateButton", "reportButton"}) {
            auto *button = find<QPushButton>(name);
            if (!button)
                continue;
            QVERIFY2(button->width() - button->fontMetrics().horizontalAdvance(button->text())
                         >= 24,
                     name);
        }

        auto *box = find<QCheckBox>("loginCheckbox");
        QVERIFY(!box->isChecked());
        QStyleOptionButton option;
        option.initFrom(box);
        const QRect indicator =
            box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
        const QImage image = renderAt(window, 1);
        const QRect area = indicator.translated(box->mapTo(window, QPoint()));
        const QColor card = image.pixelColor(area.left() - 6, area.center().y());
        qreal strongest = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x) {
                const qreal a = luminance(image.pixelColor(x, y)), b = luminance(card);
                strongest = std::max(strongest, (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05));
            }
        QVERIFY2(strongest >= 3, qPrintable(QString::number(strongest)));
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
        QTRY_VERIFY_WITH_TIMEOUT(caption().startsWith("Dernier test\u202F: "), 20000);
        QCOMPARE(captions, (QStringList{"Ping…", "Descente…", "Montée…"}));
        QCOMPARE(find<QPushButton>("testButton")->text(), "Lancer le test");
        const Result result = SpeedHistory::all().value(0, Result(0, 0, 0, 0));
        QVERIFY(result.down() > 0 && result.up() > 0);
        QCOMPARE(tile("downTile"), SpeedSettings::format(result.down()));
        QCOMPARE(find<HistoryTable>("historyTable")->text(), ResultTexts::historyLine(result));
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
        // Nothing measured shows no number, not a rate of zero.
        QCOMPARE(find<GaugeView>("gauge")->readoutValue(), QString());
        QCOMPARE(tile("downTile"), "50,0");
        QCOMPARE(find<QPushButton>("testButton")->text(), "Lancer le test");
        QVERIFY(!fromTray || statusAction()->text() == "Lancer le test");

        m_server.reset();
        press();
        QTRY_COMPARE_WITH_TIMEOUT(caption(), "Test impossible\u202F: connexion refusée", 10000);
        QCOMPARE(find<GaugeView>("gauge")->readoutValue(), QString());
        QCOMPARE(tile("downTile"), "50,0");
    }

    void onboarding_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("menuBar");
        QTest::newRow("window") << "dockButton" << false;
        QTest::newRow("tray") << "menuBarButton" << true;
        // Dismissed: the default answer, a window.
        QTest::newRow("escape") << "escape" << false;
        QTest::newRow("close button") << "close" << false;
    }

    void onboarding()
    {
        QFETCH(QString, answer);
        QFETCH(bool, menuBar);
        store().remove(PreferenceKeys::onboarded);
        SpeedSettings::setLiveMenuBar(m_tray = true);
        answerAlert(answer);
        launch();
        QCOMPARE(
            m_alert,
            (QStringList{"Bienvenue dans Tachora 🚀", "Où veux-tu que l'app vive\u202F?", "stored",
                         "Dans une fenêtre*", "Dans la zone de notification", "styled"}));
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
        // Without a tray, its check box cannot be changed and says why; the live text, which
        // only the tray shows, cannot either.
        auto *box = find<QCheckBox>("menuBarCheckbox");
        QVERIFY(!box->isEnabled() && !box->toolTip().isEmpty());
        QVERIFY(!find<QCheckBox>("liveCheckbox")->isEnabled());
        const auto toggle = [&] { box->toggle(), m_app->toggleMenuBarMode(box); };
        toggle(), toggle();
        QTRY_VERIFY(!watch->isActive());
        QCOMPARE(looks.size(), 2 * atLaunch);

        // A tray that comes up a little later takes over.
        toggle(), toggle();
        m_tray = true;
        QTRY_VERIFY(m_app->statusController().isEnabled());
        QVERIFY(!QGuiApplication::quitOnLastWindowClosed() && m_live.isRunning());
        QVERIFY(box->isEnabled() && box->toolTip().isEmpty());
        QVERIFY(find<QCheckBox>("liveCheckbox")->isEnabled());
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
            // The server's pop-up shows its origin whole in its tool tip.
            auto *popUp = find<QComboBox>(name);
            return popUp->toolTip().isEmpty() ? popUp->currentText() : popUp->toolTip();
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

        // The live text, shown only in the tray, can be turned on once it lives there, and
        // follows its checkbox at once.
        QCOMPARE(find<QCheckBox>("liveCheckbox")->text(),
                 "Débit en direct dans la zone de notification");
        QCOMPARE(find<QCheckBox>("menuBarCheckbox")->text(),
                 "Icône dans la zone de notification (au lieu d'une fenêtre)");
        QVERIFY(!find<QCheckBox>("liveCheckbox")->isEnabled());
        find<QCheckBox>("menuBarCheckbox")->click();
        QVERIFY(find<QCheckBox>("liveCheckbox")->isEnabled());
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
        // Wide enough for its title, the application's icon, a bold title over regular
        // words, and an OK button without an icon.
        QMessageBox *alert = updateAlert();
        QVERIFY(alert->width() >= AlertStyle::minimumTextWidth && !alert->iconPixmap().isNull());
        QVERIFY(alert->findChild<QLabel *>("qt_msgbox_label")->font().bold());
        QVERIFY(!alert->findChild<QLabel *>("qt_msgbox_informativelabel")->font().bold());
        QCOMPARE(alert->buttons().size(), 1);
        QVERIFY(alert->buttons()[0]->icon().isNull());

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
        QTest::newRow("bad server")
            << QStringList{"--server", "ftp://host"}
            << "origine invalide pour --server\u202F: «\u202Fftp://host\u202F»";
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
