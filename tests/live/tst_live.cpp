// SPDX-License-Identifier: GPL-3.0-or-later
#include "Pixels.h"
#include "TestSupport.h"

#include "live/LiveThroughputMonitor.h"
#include "live/StatusItemController.h"
#include "live/StatusItemIcon.h"
#include "platform/InterfaceCounters.h"

#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

using InterfaceCounters::Interface;
using Clock = LiveThroughputMonitor::Clock;

namespace {

// The counters of eth0 and of any other interfaces counted at that instant.
struct Step
{
    quint64 down;
    quint64 up;
    double at; // seconds on the injected clock
    bool readable = true;
    QList<Interface> others = {};
};
using Rates = QList<QPair<double, double>>;

// A monitor on a 1 ms timer whose snapshots and clock follow the steps, the first being the
// baseline of start(). Once they run out, ticks repeat the last totals at the same instant,
// which delivers nothing and moves no baseline, so extra ticks cannot change a result.
struct Script
{
    QList<Step> steps;
    QList<Interface> interfaces;
    Clock::time_point now;
    int snapshots = 0;
    Rates rates;
    LiveThroughputMonitor monitor{[this] { return next(); }, [this] { return now; },
                                  std::chrono::milliseconds(1)};

    explicit Script(QList<Step> list)
        : steps(std::move(list))
    {
        monitor.onSample = [this](double down, double up) { rates.append({down, up}); };
    }

    std::optional<QList<Interface>> next()
    {
        ++snapshots;
        if (steps.isEmpty())
            return interfaces;
        const Step step = steps.takeFirst();
        if (!step.readable)
            return std::nullopt;
        now = Clock::time_point(
            std::chrono::round<Clock::duration>(std::chrono::duration<double>(step.at)));
        return interfaces = QList<Interface>{{"eth0", step.down, step.up}} + step.others;
    }
};

QImage argb(const QImage &image)
{
    return image.convertToFormat(QImage::Format_ARGB32);
}

// The light text of the badge.
bool isTextInk(const QColor &color)
{
    return color.alpha() > 128 && qGray(color.rgb()) > 150;
}

} // namespace

class TestLive : public QObject
{
    Q_OBJECT

private slots:
    void countsDeviceBackedInterfaces_data()
    {
        // The fixture has lo, eth0 (its received bytes the largest 64-bit value), docker0, a
        // veth, wg0, lines to refuse (a value beyond 64 bits, a field missing, one too many, a
        // name escaping sysfs), wlan0 (no space after its colon), wlé0 in UTF-8 and br0.
        TestSupport::addColumns<QStringList, QStringList>("withDevice", "expected");
        // Inside a container no interface has a device: all but loopback count.
        QTest::newRow("no device")
            << QStringList()
            << QStringList({"eth0", "docker0", "vethab12cd3", "wg0", "wlan0", "wlé0", "br0"});
        QTest::newRow("ethernet, wifi, a name not in ASCII and loopback with a device")
            << QStringList({"lo", "eth0", "wlan0", "wlé0"})
            << QStringList({"eth0", "wlan0", "wlé0"});
    }

    void countsDeviceBackedInterfaces()
    {
        QFETCH(QStringList, withDevice);
        QTemporaryDir sysfs;
        QVERIFY(QDir().mkpath(sysfs.filePath("devices/virtio2")));
        for (const QString &name :
             QStringList{"lo", "eth0", "docker0", "vethab12cd3", "wlan0", "wlé0", "br0"}) {
            QVERIFY(QDir().mkpath(sysfs.filePath(name)));
            // Real sysfs entries are symbolic links to the device.
            if (withDevice.contains(name))
                QVERIFY(QFile::link("../devices/virtio2", sysfs.filePath(name + "/device")));
        }
        const auto counted =
            InterfaceCounters::snapshot(TACHORA_LIVE_FIXTURES "/proc_net_dev.txt", sysfs.path());
        QStringList names;
        for (const Interface &interface : counted.value())
            names.append(QString::fromUtf8(interface.name));
        QTEST(names, "expected");
        QCOMPARE(counted->first(), (Interface{"eth0", 18446744073709551615ull, 120818}));
        QVERIFY(!InterfaceCounters::snapshot(sysfs.filePath("missing"), sysfs.path()));
    }

    void samplingRules_data()
    {
        TestSupport::addColumns<QList<Step>, Rates>("steps", "expected");
        QTest::newRow("a decrease of either counter costs one tick")
            << QList<Step>{{10000, 9000, 0},
                           {4000, 9500, 2},
                           {8000, 9600, 4},
                           {10000, 100, 6},
                           {12000, 500, 8}}
            << Rates{{2000, 50}, {1000, 200}};
        QTest::newRow("a tick 0.5 s or less apart delivers nothing but moves the baseline")
            << QList<Step>{{0, 0, 0}, {1000, 1000, 0.5}, {3000, 5000, 2.5}, {3600, 5000, 3.1}}
            << Rates{{1000, 2000}, {1000, 0}};
        // Read as zeros, a failed read would make the next rate all the traffic so far.
        QTest::newRow("after unreadable counters the next reading is a new baseline")
            << QList<Step>{{0, 0, 0, false}, {5000, 0, 2},  {9000, 0, 4},
                           {0, 0, 6, false}, {11000, 0, 8}, {15000, 0, 10}}
            << Rates{{2000, 0}, {2000, 0}};
        // Summed totals would jump by whole counters (a false rate of tens of GB/s).
        const quint64 big = 90'000'000'000;
        QTest::newRow("interfaces leaving, appearing or created again add nothing")
            << QList<Step>{{1000, 0, 0, true, {{"usb0", 5'000'000'000, 1'000'000'000}}},
                           {5000, 0, 2, true, {{"docker0", big, big}}},
                           {9000, 100, 4, true, {{"docker0", big + 4000, big}, {"wlan1", big, 0}}},
                           {11000, 100, 6, true, {{"docker0", 10, 0}, {"wlan1", big + 2000, 0}}},
                           {20, 0, 8},
                           {4020, 0, 10}}
            << Rates{{2000, 0}, {4000, 50}, {2000, 0}, {2000, 0}};
        // 32-bit counters would have wrapped twice here.
        QTest::newRow("beyond 32 bits")
            << QList<Step>{{5000000000ull, 0, 0}, {7500000000ull, 10000000000ull, 2}}
            << Rates{{1.25e9, 5e9}};
    }

    void samplingRules()
    {
        QFETCH(QList<Step>, steps);
        Script script(steps);
        script.monitor.start();
        QTRY_VERIFY(script.steps.isEmpty());
        QTEST(script.rates, "expected");
    }

    void startStopAndSubscribers()
    {
        Script script({{0, 0, 0}, {1000, 100, 2}});
        script.monitor.start();
        script.monitor.start();
        QCOMPARE(script.snapshots, 1);
        QTRY_VERIFY(script.steps.isEmpty());
        script.monitor.stop();
        script.monitor.stop();
        // What passed while stopped is not delivered: start() takes a fresh baseline.
        script.steps = {{900000, 0, 100}, {904000, 0, 102}};
        script.monitor.start();
        QTRY_VERIFY(script.steps.isEmpty());
        QCOMPARE(script.rates, (Rates{{500, 50}, {2000, 0}}));

        // A subscriber may stop the monitor and drop itself while it runs.
        auto calls = std::make_shared<int>(0);
        script.monitor.onSample = [&script, calls](double, double) {
            script.monitor.stop();
            script.monitor.onSample = nullptr;
            ++*calls; // its captures must still be alive here
        };
        script.steps = {{906000, 0, 104}};
        QTRY_VERIFY(!script.monitor.isRunning());
        QCOMPARE(*calls, 1);
    }

    void trayItemStateRules()
    {
        if (QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("This test expects no system tray, as on the offscreen platform.");
        StatusItemController controller;
        // The icon drawn for the text in the palette of the moment, and its tool tip.
        auto shows = [&](const std::optional<QString> &text) {
            return argb(controller.trayIcon()->icon().pixmap(22).toImage())
                       == argb(StatusItemIcon::render(text, QGuiApplication::palette(), 22))
                   && controller.trayIcon()->toolTip() == text.value_or("Tachora");
        };
        controller.disable();
        controller.setLiveText(QStringLiteral("↓12M"));
        QVERIFY(!controller.isEnabled());
        QPointer<QMenu> first = new QMenu, second = new QMenu;
        controller.enable(first);
        QSystemTrayIcon *item = controller.trayIcon();
        QVERIFY(item && shows(QStringLiteral("↓12M")));
        // A primary click opens the menu, as a secondary one does.
        QMenu *shown = item->contextMenu();
        emit item->activated(QSystemTrayIcon::Trigger);
        QVERIFY(shown && shown->isVisible());
        shown->hide();
        controller.setLiveText(std::nullopt);
        QVERIFY(shows(std::nullopt));
        // A theme switch recolours the glyph at once.
        const QPalette theme = QGuiApplication::palette();
        const auto restore = qScopeGuard([&theme] { QGuiApplication::setPalette(theme); });
        QGuiApplication::setPalette(QPalette(Qt::white, Qt::black));
        QVERIFY(shows(std::nullopt));

        // An action of the shown menu rebuilds it, as the status menu does: the menu it came
        // from outlives it, and the same item, in the same menu, shows the new entries.
        QAction *rebuild = first->addAction(QStringLiteral("Lancer le test"));
        second->addAction(QStringLiteral("Arrêter le test"));
        connect(rebuild, &QAction::triggered, &controller, [&] { controller.enable(second); });
        rebuild->trigger();
        QVERIFY(first && item->contextMenu() == shown && shown->actions() == second->actions());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!first);
        controller.enable(second);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(second);

        controller.setLiveText(QStringLiteral("↓3,5M"));
        controller.disable();
        controller.disable();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!controller.trayIcon() && !second);
        controller.enable(new QMenu);
        QVERIFY(shows(QStringLiteral("↓3,5M")));
    }

    void compactTextLegibleAtOneSize_data()
    {
        TestSupport::addColumns<double, QString, int>("rate", "expected", "numberHeight");
        // Up to 10 GB/s, all at one size at 22 px: the digits 10 px high, a comma's tail
        // reaching 2 px lower, and the unit below them 7 px high. A 0 only asks that the text
        // fit, shrunk rather than cut off.
        const std::tuple<double, const char *, int> table[] = {
            {999, "1k", 10},        {999999, "1000k", 10}, {1000000, "1,0M", 12},
            {9999999, "10,0M", 12}, {10000000, "10M", 10}, {123e6, "123M", 10},
            {9999e6, "9999M", 10},  {-0.0, "0k", 10},      {std::nan(""), "0k", 10},
        };
        for (const auto &[rate, expected, numberHeight] : table)
            QTest::addRow("%.10g", rate) << rate << QString(expected) << numberHeight;
        QTest::newRow("absurdly long") << 123456789012e6 << QString("123456789012M") << 0;
    }

    void compactTextLegibleAtOneSize()
    {
        const auto [rate, numberHeight] = TestSupport::fetch<double, int>("rate", "numberHeight");
        QTEST(LiveThroughputMonitor::compact(rate), "expected");
        // Drawn in the middle of a larger canvas, so that anything past the square shows.
        QImage canvas(62, 62, QImage::Format_ARGB32);
        canvas.fill(Qt::transparent);
        const QRect square(20, 20, 22, 22);
        QPainter painter(&canvas);
        StatusItemIcon::paint(painter, square, "↓" + LiveThroughputMonitor::compact(rate),
                              QPalette());
        painter.end();
        QVERIFY(square.contains(
            Pixels::ink(canvas, [](const QColor &c) { return c.alpha() > 0; }).bounds));
        QVERIFY(square.adjusted(1, 1, -1, -1).contains(Pixels::ink(canvas, isTextInk).bounds));
        // The number is the first run of rows with ink, the unit the last one.
        QList<bool> inked;
        for (int y = 0; y < canvas.height(); ++y)
            inked.append(Pixels::ink(canvas, isTextInk, QRect(0, y, canvas.width(), 1)).count > 0);
        const qsizetype top = inked.indexOf(true), clear = inked.indexOf(false, top);
        const qsizetype unitTop = inked.indexOf(true, clear), bottom = inked.lastIndexOf(true);
        QVERIFY(unitTop > clear && clear > top);
        if (numberHeight)
            QCOMPARE(clear - top, numberHeight);
        // The unit letter reads at a glance: 7 px high at least.
        QCOMPARE_GE(bottom - unitTop + 1, 7);
    }

    // The tray's picture, the glyph or a live text, in a theme's text colour on the other kind
    // of panel, the hard case: a dark theme's white on a light panel.
    void trayIconLegibleAndSharp_data() { TestSupport::addBoolRows("live", "glyph", "live text"); }

    void trayIconLegibleAndSharp()
    {
        QFETCH(bool, live);
        const std::optional<QString> text = live ? std::optional(QString("↓12M")) : std::nullopt;
        const QColor panel(0xd6, 0xd6, 0xd6);
        const QPalette palette(Qt::white, QColor(0x2a, 0x2a, 0x2a));
        const auto white = [](const QColor &color) { return color == Qt::white; };
        QImage onPanel(22, 22, QImage::Format_RGB32);
        onPanel.fill(panel);
        QPainter(&onPanel).drawImage(0, 0, StatusItemIcon::render(text, palette, 22));
        // The light text against its dark badge, whatever the panel, by the 7:1 small text asks;
        // the glyph in the theme's text colour, standing out from the panel.
        if (live)
            QCOMPARE_GE(Pixels::contrast(onPanel, QRect(3, 3, 16, 16)), 7);
        else
            QVERIFY(Pixels::ink(onPanel, Pixels::apartFrom(panel, 299)).count >= 40
                    && Pixels::ink(onPanel, white).count >= 20);
        // A tray on a scaled screen asks for sizes between those offered: each is drawn at its
        // own size, as sharp as the offered ones, never scaled from another.
        const QIcon icon = StatusItemIcon::icon(text, palette);
        QCOMPARE(icon.availableSizes().size(), qsizetype(std::size(StatusItemIcon::sizes)));
        for (const int side : {22, 28, 33, 44, 66}) // 22 px at 100 % to 300 %
            QVERIFY2(argb(icon.pixmap(QSize(side, side)).toImage())
                         == argb(StatusItemIcon::render(text, palette, side)),
                     qPrintable(QString::number(side)));
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestLive)
#include "tst_live.moc"
