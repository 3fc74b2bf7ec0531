#include "TestSupport.h"

#include "live/LiveThroughputMonitor.h"
#include "platform/InterfaceCounters.h"

#include <QTemporaryDir>
#include <QTimer>

#include <cmath>

using InterfaceCounters::Totals;
using Clock = LiveThroughputMonitor::Clock;

namespace {

struct Step
{
    quint64 down;
    quint64 up;
    double at; // seconds on the injected clock
    bool readable = true;
};

using Rates = QList<QPair<double, double>>;

// Counters and clock driven by steps, one per snapshot. Once they run out, ticks see the
// same totals at the same time, which delivers nothing and leaves the baseline as it was,
// so extra ticks cannot change a result.
struct Script
{
    explicit Script(QList<Step> steps)
        : steps(std::move(steps))
    {}

    QList<Step> steps;
    Totals totals;
    Clock::time_point now;
    int snapshots = 0;
    Rates rates;

    std::unique_ptr<LiveThroughputMonitor> monitor(std::chrono::milliseconds interval)
    {
        auto source = [this] {
            ++snapshots;
            if (!steps.isEmpty()) {
                const Step step = steps.takeFirst();
                if (!step.readable)
                    return std::optional<Totals>();
                totals = {step.down, step.up};
                now = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(step.at)));
            }
            return std::optional<Totals>(totals);
        };
        auto monitor = std::make_unique<LiveThroughputMonitor>(
            source, [this] { return now; }, interval);
        monitor->onSample = [this](double down, double up) { rates.append({down, up}); };
        return monitor;
    }
};

const QString fixture = QStringLiteral(TACHORA_LIVE_FIXTURES "/proc_net_dev.txt");

} // namespace

Q_DECLARE_METATYPE(QList<Step>)
Q_DECLARE_METATYPE(Totals)

class TestLiveMonitor : public QObject
{
    Q_OBJECT

private slots:
    void parsesProcNetDev()
    {
        QFile file(fixture);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const auto interfaces = InterfaceCounters::parseProcNetDev(file.readAll());
        QStringList names;
        for (const auto &interface : interfaces)
            names << interface.name;
        QCOMPARE(names, QStringList({"lo", "eth0", "docker0", "vethab12cd3", "wg0", "wlan0"}));
        QCOMPARE(interfaces[0].received, 9000000000ull);
        QCOMPARE(interfaces[1].sent, 120818ull);
        // Older kernels print no space between the colon and the first field.
        QCOMPARE(interfaces[5].received, 12345ull);
        QCOMPARE(interfaces[5].sent, 678ull);
    }

    void rejectsMalformedLines_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("accepted");
        const QByteArray tail = " 10 0 0 0 0 0 0 3 0 0 0 0 0 0 0";
        QTest::newRow("well formed") << "eth0: 1" + tail << true;
        QTest::newRow("largest 64-bit value") << "eth0: 18446744073709551615" + tail << true;
        QTest::newRow("beyond 64 bits") << "eth0: 18446744073709551616" + tail << false;
        QTest::newRow("negative") << "eth0: -1" + tail << false;
        QTest::newRow("not a number") << "eth0: 12x" + tail << false;
        QTest::newRow("field missing") << "eth0:" + tail << false;
        QTest::newRow("field too many") << "eth0: 1" + tail + " 7" << false;
        QTest::newRow("empty name") << ": 1" + tail << false;
        QTest::newRow("name escaping sysfs") << "..: 1" + tail << false;
        QTest::newRow("name with slash") << "a/b: 1" + tail << false;
        QTest::newRow("name too long") << "abcdefghijklmnop: 1" + tail << false;
    }

    void rejectsMalformedLines()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, accepted);
        const auto interfaces =
            InterfaceCounters::parseProcNetDev(line + "\nwlan0: 5 0 0 0 0 0 0 0 6 0 0 0 0 0 0 0");
        QCOMPARE(interfaces.size(), accepted ? 2 : 1);
        QCOMPARE(interfaces.last().sent, 6ull);
        if (accepted)
            QCOMPARE(interfaces.first().sent, 3ull);
    }

    void countsDeviceBackedInterfaces_data()
    {
        QTest::addColumn<QStringList>("withDevice");
        QTest::addColumn<Totals>("expected");
        // Bridges, veths and tunnels repeat the physical interface's bytes.
        QTest::newRow("ethernet and wifi")
            << QStringList({"eth0", "wlan0"}) << Totals{72670314 + 12345, 120818 + 678};
        // Inside a container no interface has a device: all but loopback count.
        QTest::newRow("no device") << QStringList()
                                   << Totals{72670314 + 5000000 + 4900000 + 3000000000ull + 12345,
                                             120818 + 700000 + 690000 + 400000000 + 678};
        QTest::newRow("loopback with a device")
            << QStringList({"lo", "wlan0"}) << Totals{12345, 678};
    }

    void countsDeviceBackedInterfaces()
    {
        QFETCH(QStringList, withDevice);
        QFETCH(Totals, expected);
        QTemporaryDir sysfs;
        QDir root(sysfs.path());
        QVERIFY(root.mkpath(QStringLiteral("devices/virtio2")));
        for (const QString &name : QStringList{"lo", "eth0", "docker0", "vethab12cd3", "wlan0"}) {
            QVERIFY(root.mkpath(name));
            // Real sysfs entries are symbolic links to the device.
            if (withDevice.contains(name))
                QVERIFY(
                    QFile::link(root.filePath("devices/virtio2"), root.filePath(name + "/device")));
        }
        QCOMPARE(InterfaceCounters::snapshot(fixture, sysfs.path()), expected);
        QCOMPARE(InterfaceCounters::snapshot(sysfs.filePath("missing"), sysfs.path()),
                 std::nullopt);
    }

    void samplingRules_data()
    {
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<Rates>("expected");
        // The first step is the baseline that start() takes.
        QTest::newRow("first tick measures from the baseline")
            << QList<Step>{{1000, 500, 0}, {5000, 2500, 2}} << Rates{{2000, 1000}};
        QTest::newRow("download decrease costs one tick")
            << QList<Step>{{10000, 1000, 0}, {4000, 3000, 2}, {8000, 3500, 4}}
            << Rates{{2000, 250}};
        QTest::newRow("upload decrease costs one tick")
            << QList<Step>{{1000, 9000, 0}, {3000, 10, 2}, {7000, 410, 4}} << Rates{{2000, 200}};
        QTest::newRow("tick at 0.5 s delivers nothing but moves the baseline")
            << QList<Step>{{0, 0, 0}, {1000, 1000, 0.5}, {3000, 5000, 2.5}} << Rates{{1000, 2000}};
        QTest::newRow("tick just over 0.5 s delivers")
            << QList<Step>{{0, 0, 0}, {600, 0, 0.6}} << Rates{{1000, 0}};
        QTest::newRow("clock going back delivers nothing")
            << QList<Step>{{0, 0, 10}, {1000, 1000, 8}, {3000, 1000, 10}} << Rates{{1000, 0}};
        // Read as zeros, a failed read would make the next rate all the traffic so far.
        QTest::newRow("unreadable counters: the next reading is a new baseline")
            << QList<Step>{{1000, 0, 0}, {0, 0, 2, false}, {5000, 0, 4}, {9000, 0, 6}}
            << Rates{{2000, 0}};
        QTest::newRow("unreadable baseline")
            << QList<Step>{{0, 0, 0, false}, {5000, 0, 2}, {9000, 0, 4}} << Rates{{2000, 0}};
        // 32-bit counters would have wrapped twice here.
        QTest::newRow("beyond 32 bits")
            << QList<Step>{{5000000000ull, 0, 0}, {7500000000ull, 10000000000ull, 2}}
            << Rates{{1.25e9, 5e9}};
    }

    void samplingRules()
    {
        QFETCH(QList<Step>, steps);
        Script script(steps);
        auto monitor = script.monitor(std::chrono::milliseconds(1));
        monitor->start();
        QTRY_VERIFY(script.steps.isEmpty());
        QTEST(script.rates, "expected");
    }

    void subscriberSetWhileRunningMeasuresFromPreviousTick()
    {
        Script script({{0, 0, 0}, {1000, 100, 2}});
        auto monitor = script.monitor(std::chrono::milliseconds(1));
        const auto subscriber = monitor->onSample;
        monitor->onSample = nullptr;
        monitor->start();
        QTRY_VERIFY(script.steps.isEmpty());
        monitor->onSample = subscriber;
        script.steps = {{5000, 300, 4}};
        QTRY_VERIFY(script.steps.isEmpty());
        QCOMPARE(script.rates, (Rates{{2000, 100}}));
    }

    void startTwiceStopTwiceRestart()
    {
        Script script({{0, 0, 0}, {2000, 0, 2}});
        auto monitor = script.monitor(std::chrono::milliseconds(1));
        monitor->start();
        monitor->start();
        QCOMPARE(script.snapshots, 1);
        QCOMPARE(monitor->findChildren<QTimer *>().size(), 1);
        QTRY_VERIFY(script.steps.isEmpty());
        monitor->stop();
        monitor->stop();
        QVERIFY(!monitor->isRunning());
        QVERIFY(monitor->onSample);

        // What passed while stopped is not delivered: start() takes a fresh baseline.
        script.steps = {{900000, 0, 100}, {904000, 0, 102}};
        monitor->start();
        QTRY_VERIFY(script.steps.isEmpty());
        QCOMPARE(script.rates, (Rates{{1000, 0}, {2000, 0}}));
    }

    void subscriberMayStopAndReplaceItself()
    {
        Script script({{0, 0, 0}, {2000, 0, 2}});
        auto monitor = script.monitor(std::chrono::milliseconds(1));
        auto calls = std::make_shared<int>(0);
        monitor->onSample = [&monitor, calls](double, double) {
            monitor->stop();
            monitor->onSample = nullptr;
            ++*calls; // its captures must still be alive here
        };
        monitor->start();
        QTRY_VERIFY(!monitor->isRunning());
        QCOMPARE(*calls, 1);
    }

    void sharedMonitorSamplesEveryTwoSecondsCoarsely()
    {
        auto &monitor = LiveThroughputMonitor::shared();
        QCOMPARE(&monitor, &LiveThroughputMonitor::shared());
        monitor.start();
        const auto timers = monitor.findChildren<QTimer *>();
        QCOMPARE(timers.size(), 1);
        QCOMPARE(timers.first()->interval(), 2000);
        QCOMPARE(timers.first()->timerType(), Qt::CoarseTimer);
        monitor.stop();
        QVERIFY(!monitor.isRunning());
    }

    void compact_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<QString>("expected");
        const std::pair<double, const char *> table[] = {
            {0, "0k"},         {999, "1k"},        {999999, "1000k"},    {1000000, "1,0M"},
            {1500000, "1,5M"}, {9999999, "10,0M"}, {10000000, "10M"},    {123456789, "123M"},
            {-5, "0k"},        {-0.0, "0k"},       {std::nan(""), "0k"},
        };
        for (const auto &[rate, expected] : table)
            QTest::addRow("%g", rate) << rate << QString::fromLatin1(expected);
    }

    void compact()
    {
        QFETCH(double, rate);
        QTEST(LiveThroughputMonitor::compact(rate), "expected");
    }
};

TACHORA_TEST_CORE_MAIN(TestLiveMonitor)
#include "tst_livemonitor.moc"
