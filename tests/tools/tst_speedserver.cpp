#include "TestSupport.h"

#include "LoopbackClient.h"
#include "ServerOptions.h"
#include "SpeedServerProcess.h"

#include "platform/HttpSession.h"

#include <QElapsedTimer>

#include <memory>
#include <tuple>

using namespace speedserver;
using namespace std::chrono_literals;

namespace {

// One request on a connection of its own, the way the engine makes them.
HttpResponse request(const QString &url, const char *method = "GET", qint64 uploadBytes = 0)
{
    HttpSession session;
    return QCoro::waitFor(
        session.fetch({method, url.toUtf8(), 10s, QByteArray(uploadBytes, 'x')}, 1 << 24));
}

// A line of /proc/<pid>/status, such as "VmRSS:" (in kB) or "Threads:".
qint64 processStatus(qint64 pid, const QByteArray &name)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(name.size()).trimmed().split(' ').constFirst().toLongLong();
    }
    return -1;
}

} // namespace

class TestSpeedServer : public QObject
{
    Q_OBJECT

private slots:
    void parsesFaults_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("target");
        QTest::addColumn<qint64>("count");
        QTest::newRow("targeted, counted")
            << "close-after=0@down#1" << true << int(Fault::Kind::closeAfter) << int(Target::down)
            << 1LL;
        QTest::newRow("stall on uploads")
            << "stall@up" << true << int(Fault::Kind::stall) << int(Target::up) << -1LL;
        // A refusal comes before any request, so it cannot pick requests.
        for (const char *bad : {"explode", "stall@get", "status=42", "close-after=", "stall#-1",
                                "stall=1", "refuse@down", "refuse#1"})
            QTest::newRow(bad) << bad << false << 0 << 0 << 0LL;
    }

    void parsesFaults()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(int, kind);
        QFETCH(int, target);
        QFETCH(qint64, count);
        const auto fault = parseFault(text.toStdString());
        QCOMPARE(fault.has_value(), valid);
        if (valid)
            QCOMPARE(std::tuple(int(fault->kind), int(fault->target), fault->count),
                     std::tuple(kind, target, count));
    }

    // Each fault takes as many requests of its kind as it counts, in order.
    void answersAndFaults()
    {
        SpeedServerProcess server;
        QVERIFY(server.start({"--fault", "status=503@head#1", "--fault", "close-after=0@head#1",
                              "--fault", "close-after=1000@down#1"}));
        const QString origin = server.origin();
        QCOMPARE(request(origin + "/__down?bytes=0", "HEAD").outcome.status, 503);
        const HttpResponse dropped = request(origin + "/__down?bytes=0", "HEAD");
        QVERIFY(!dropped.outcome.ok && dropped.outcome.status == 0);
        QCOMPARE(request(origin + "/__down?bytes=0", "HEAD").outcome.status, 200);
        const HttpResponse cut = request(origin + "/__down?bytes=50000");
        QVERIFY(!cut.outcome.ok);
        QCOMPARE(cut.body.size(), 1000);
        QCOMPARE(request(origin + "/__down?measId=7&bytes=1234567").body.size(), 1234567);
        QCOMPARE(request(origin + "/__up", "POST", 3'000'000).outcome.status, 200);
        QCOMPARE(request(origin + "/elsewhere").outcome.status, 404);
        QCOMPARE(request(origin + "/__down?bytes=-1").outcome.status, 400);

        const SpeedServerProcess::Log log = server.stop();
        QCOMPARE(log.requests.mid(2, 3),
                 (QStringList{"HEAD /__down?bytes=0", "GET /__down?bytes=50000",
                              "GET /__down?measId=7&bytes=1234567"}));
        QCOMPARE(log.down, 1235567);
        QCOMPARE(log.up, 3'000'000);
    }

    void boundsItsConnections()
    {
        SpeedServerProcess server;
        QVERIFY(server.start({"--max-connections", "50", "--idle-timeout", "500"}));
        const qint64 pid = server.processId();
        const qint64 residentBefore = processStatus(pid, "VmRSS:");
        std::vector<std::unique_ptr<LoopbackClient>> idle;
        for (int i = 0; i < 50; ++i)
            idle.push_back(std::make_unique<LoopbackClient>(QUrl(server.origin()).port()));
        QTRY_COMPARE(processStatus(pid, "Threads:"), 52);
        // An idle connection holds no buffer of its own.
        const qint64 grownKb = processStatus(pid, "VmRSS:") - residentBefore;
        QVERIFY2(grownKb < 16 * 1024, qPrintable(QString::number(grownKb)));
        // Past the limit a connection waits until the idle ones are closed.
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(request(server.origin() + "/__down?bytes=10").body.size(), 10);
        QVERIFY2(timer.elapsed() >= 400, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(idle.front()->closedByPeer());
    }
};

TACHORA_TEST_CORE_MAIN(TestSpeedServer)
#include "tst_speedserver.moc"
