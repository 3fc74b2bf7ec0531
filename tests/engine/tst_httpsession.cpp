#include "TestSupport.h"

#include "SpeedServerProcess.h"

#include "platform/HttpSession.h"
#include "platform/HttpTask.h"

#include <QTemporaryDir>

using namespace std::chrono_literals;

namespace {

// What one task reported.
struct Transfer
{
    std::shared_ptr<HttpTask> task;
    qint64 received = 0;
    int chunks = 0;
    qint64 sent = 0;
    qint64 lastTotal = 0;
    int completions = 0;
    bool callbackAfterCompletion = false;
    HttpOutcome outcome;
};

HttpRequest request(const QString &url, const char *method = "GET", QByteArray body = {})
{
    HttpRequest request;
    request.method = method;
    request.url = url.toUtf8();
    request.timeout = 5s;
    request.body = std::move(body);
    return request;
}

std::shared_ptr<Transfer> watch(HttpSession &session, HttpRequest httpRequest)
{
    auto transfer = std::make_shared<Transfer>();
    transfer->task = session.task(std::move(httpRequest));
    Transfer *state = transfer.get();
    transfer->task->onReceive = [state](QByteArrayView chunk) {
        state->callbackAfterCompletion |= state->completions > 0;
        state->received += chunk.size();
        ++state->chunks;
    };
    transfer->task->onSend = [state](qint64 bytes, qint64 total) {
        state->callbackAfterCompletion |= state->completions > 0;
        state->sent += bytes;
        state->lastTotal = total;
    };
    transfer->task->onComplete = [state](const HttpOutcome &outcome) {
        ++state->completions;
        state->outcome = outcome;
    };
    return transfer;
}

constexpr int withinMs = 10000;

} // namespace

class TestHttpSession : public QObject
{
    Q_OBJECT

private slots:
    void answersAreCountedNotKept_data()
    {
        QTest::addColumn<QStringList>("serverArguments");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<qint64>("uploadBytes");
        QTest::addColumn<long>("status");
        QTest::addColumn<qint64>("received");
        QTest::newRow("HEAD") << QStringList() << QByteArray("HEAD") << "/__down?bytes=0"
                              << qint64(0) << 200L << qint64(0);
        QTest::newRow("GET") << QStringList() << QByteArray("GET") << "/__down?bytes=3000001"
                             << qint64(0) << 200L << qint64(3000001);
        QTest::newRow("POST") << QStringList() << QByteArray("POST") << "/__up" << qint64(4000000)
                              << 200L << qint64(-1);
        QTest::newRow("error status") << QStringList{"--fault", "status=404"} << QByteArray("GET")
                                      << "/__down?bytes=10" << qint64(0) << 404L << qint64(0);
    }

    void answersAreCountedNotKept()
    {
        QFETCH(QStringList, serverArguments);
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(qint64, uploadBytes);
        QFETCH(long, status);
        QFETCH(qint64, received);
        SpeedServerProcess server;
        QVERIFY(server.start(serverArguments));
        HttpSession session;
        const auto transfer =
            watch(session, request(server.origin() + path, method, QByteArray(uploadBytes, 'x')));
        transfer->task->start();
        QCOMPARE(transfer->task->state(), HttpTask::State::running);
        QTRY_COMPARE_WITH_TIMEOUT(transfer->completions, 1, withinMs);
        QVERIFY2(transfer->outcome.ok, qPrintable(transfer->outcome.error));
        QCOMPARE(transfer->outcome.status, status);
        if (received >= 0)
            QCOMPARE(transfer->received, received);
        QCOMPARE(transfer->sent, uploadBytes);
        QCOMPARE(transfer->lastTotal, uploadBytes);
        QCOMPARE(session.runningTransfers(), 0);
        const SpeedServerProcess::Log log = server.stop();
        QCOMPARE(log.requests, QStringList{QString::fromLatin1(method) + u' ' + path});
        QCOMPARE(log.up, uploadBytes);
    }

    void connectionsAreReused()
    {
        SpeedServerProcess server;
        QVERIFY(server.start());
        HttpSession session;
        QList<long> opened;
        for (const char *method : {"HEAD", "GET", "POST", "GET"}) {
            const QString path = qstrcmp(method, "POST") == 0 ? "/__up" : "/__down?bytes=100000";
            const HttpOutcome outcome =
                QCoro::waitFor(session.perform(request(server.origin() + path, method, "body")));
            QVERIFY(outcome.ok);
            opened.append(outcome.newConnections);
        }
        QCOMPARE(opened, (QList<long>{1, 0, 0, 0}));
    }

    void cancelCompletesPromptlyAndOnce()
    {
        SpeedServerProcess server;
        QVERIFY(server.start({"--down-rate", "1000000"}));
        HttpSession session;
        const auto transfer = watch(session, request(server.origin() + "/__down?bytes=50000000"));
        transfer->task->start();
        QTRY_VERIFY_WITH_TIMEOUT(transfer->received > 0, withinMs);
        transfer->task->cancel();
        // Never from inside cancel(): the caller is not re-entered.
        QCOMPARE(transfer->completions, 0);
        transfer->task->cancel();
        QTRY_COMPARE_WITH_TIMEOUT(transfer->completions, 1, 2000);
        QVERIFY(transfer->outcome.cancelled);
        QVERIFY(!transfer->outcome.ok);
        const qint64 received = transfer->received;
        // Another transfer on the same session gives a late callback every chance to come.
        QVERIFY(QCoro::waitFor(session.perform(request(server.origin() + "/__down?bytes=0"))).ok);
        QCOMPARE(transfer->received, received);
        QCOMPARE(transfer->completions, 1);
        QVERIFY(!transfer->callbackAfterCompletion);
        QCOMPARE(session.runningTransfers(), 0);
    }

    void cancelBeforeStartSendsNothing()
    {
        SpeedServerProcess server;
        QVERIFY(server.start());
        HttpSession session;
        const auto transfer = watch(session, request(server.origin() + "/__down?bytes=10"));
        transfer->task->cancel();
        transfer->task->start();
        QCOMPARE(transfer->completions, 0);
        QTRY_COMPARE_WITH_TIMEOUT(transfer->completions, 1, withinMs);
        QVERIFY(transfer->outcome.cancelled);
        const HttpOutcome probe =
            QCoro::waitFor(session.perform(request(server.origin() + "/__up", "POST", "x")));
        QVERIFY(probe.ok);
        QCOMPARE(server.stop().requests, QStringList{"POST /__up"});
    }

    void failuresAreOutcomes_data()
    {
        QTest::addColumn<QStringList>("serverArguments");
        QTest::addColumn<QString>("url");
        QTest::newRow("stalled answer") << QStringList{"--fault", "stall"} << "";
        QTest::newRow("file scheme") << QStringList() << "file:///etc/hostname";
        QTest::newRow("no such method") << QStringList() << "";
    }

    void failuresAreOutcomes()
    {
        QFETCH(QStringList, serverArguments);
        QFETCH(QString, url);
        SpeedServerProcess server;
        QVERIFY(server.start(serverArguments));
        HttpSession session;
        HttpRequest httpRequest =
            request(url.isEmpty() ? server.origin() + "/__down?bytes=0" : url, "HEAD");
        httpRequest.timeout = 1s;
        if (QByteArray(QTest::currentDataTag()) == "no such method")
            httpRequest.method = "DELETE";
        const HttpOutcome outcome = QCoro::waitFor(session.perform(std::move(httpRequest)));
        QVERIFY(!outcome.ok);
        QVERIFY(!outcome.cancelled);
        QVERIFY(!outcome.error.isEmpty());
    }

    void tlsTrustsTheNamedAuthorityOnly()
    {
        QTemporaryDir folder;
        QVERIFY(SpeedServerProcess::makeCertificate(folder.path()));
        SpeedServerProcess server;
        QVERIFY(server.start(
            {"--cert", folder.filePath("cert.pem"), "--key", folder.filePath("key.pem")}));
        const QString url = server.origin() + "/__down?bytes=1000";
        HttpSession untrusting;
        QVERIFY(!QCoro::waitFor(untrusting.perform(request(url))).ok);
        for (HttpVersion version : {HttpVersion::http1_1, HttpVersion::http2}) {
            HttpSession trusting({version, folder.filePath("cert.pem")});
            const auto transfer = watch(trusting, request(url));
            transfer->task->start();
            QTRY_COMPARE_WITH_TIMEOUT(transfer->completions, 1, withinMs);
            QVERIFY2(transfer->outcome.ok, qPrintable(transfer->outcome.error));
            QCOMPARE(transfer->received, 1000);
        }
    }

    void droppedSessionCallsNoOneBack()
    {
        SpeedServerProcess server;
        QVERIFY(server.start({"--down-rate", "1000000"}));
        auto session = std::make_unique<HttpSession>();
        const auto transfer = watch(*session, request(server.origin() + "/__down?bytes=5000000"));
        transfer->task->start();
        QTRY_VERIFY_WITH_TIMEOUT(transfer->received > 0, withinMs);
        transfer->task->cancel();
        session.reset();
        HttpSession other;
        QVERIFY(QCoro::waitFor(other.perform(request(server.origin() + "/__down?bytes=0"))).ok);
        QCOMPARE(transfer->completions, 0);
        QCOMPARE(transfer->task->state(), HttpTask::State::finished);
    }
};

TACHORA_TEST_CORE_MAIN(TestHttpSession)
#include "tst_httpsession.moc"
