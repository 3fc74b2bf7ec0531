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
    qint64 sent = 0;
    qint64 lastTotal = 0;
    int completions = 0;
    bool callbackAfterCompletion = false;
    HttpOutcome outcome;
};

HttpRequest request(const QString &url, const char *method = "GET", QByteArray body = {})
{
    return HttpRequest{method, url.toUtf8(), 5s, std::move(body)};
}

HttpOutcome perform(HttpSession &session, const QString &url, const char *method = "GET")
{
    return QCoro::waitFor(session.perform(request(url, method, "body")));
}

// Starts a task on the session, cancelled first when asked.
std::shared_ptr<Transfer> start(HttpSession &session, HttpRequest httpRequest,
                                bool cancelFirst = false)
{
    auto transfer = std::make_shared<Transfer>();
    transfer->task = session.task(std::move(httpRequest));
    Transfer *state = transfer.get();
    transfer->task->onReceive = [state](QByteArrayView chunk) {
        state->callbackAfterCompletion |= state->completions > 0;
        state->received += chunk.size();
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
    if (cancelFirst)
        transfer->task->cancel();
    transfer->task->start();
    return transfer;
}

constexpr int withinMs = 10000;

} // namespace

class TestHttpSession : public QObject
{
    Q_OBJECT

private slots:
    void bodiesAreCountedNotKeptOverOneConnection()
    {
        SpeedServerProcess server;
        QVERIFY(server.start());
        HttpSession session;
        // -1 received: whatever the short answer to an upload holds.
        const struct
        {
            const char *method;
            const char *path;
            qint64 received;
            qint64 sent;
        } steps[] = {{"HEAD", "/__down?bytes=0", 0, 0},
                     {"GET", "/__down?bytes=3000001", 3000001, 0},
                     {"POST", "/__up", -1, 4000000},
                     {"GET", "/__down?bytes=1", 1, 0}};
        QList<long> opened;
        for (const auto &step : steps) {
            const auto transfer = start(session, request(server.origin() + step.path, step.method,
                                                         QByteArray(step.sent, 'x')));
            QTRY_COMPARE_WITH_TIMEOUT(transfer->completions, 1, withinMs);
            QVERIFY2(transfer->outcome.ok, qPrintable(transfer->outcome.error));
            QCOMPARE(transfer->outcome.status, 200);
            QVERIFY(step.received < 0 || transfer->received == step.received);
            QCOMPARE(transfer->sent, step.sent);
            QCOMPARE(transfer->lastTotal, step.sent);
            QCOMPARE(transfer->task->bodyBytesAcknowledged(), step.sent);
            opened.append(transfer->outcome.newConnections);
        }
        QCOMPARE(opened, (QList<long>{1, 0, 0, 0}));
        QCOMPARE(session.runningTransfers(), 0);
        QCOMPARE(server.stop().up, 4000000);
    }

    void cancelCompletesPromptlyAndOnce()
    {
        SpeedServerProcess server;
        QVERIFY(server.start({"--down-rate", "1000000"}));
        HttpSession session;
        const auto transfer = start(session, request(server.origin() + "/__down?bytes=50000000"));
        QTRY_VERIFY_WITH_TIMEOUT(transfer->received > 0, withinMs);
        transfer->task->cancel();
        // Never from inside cancel(): the caller is not re-entered.
        QCOMPARE(transfer->completions, 0);
        transfer->task->cancel();
        // Cancelled before it starts, a task sends nothing.
        const auto early = start(session, request(server.origin() + "/__down?bytes=10"), true);
        QTRY_COMPARE_WITH_TIMEOUT(transfer->completions, 1, 2000);
        QTRY_COMPARE_WITH_TIMEOUT(early->completions, 1, withinMs);
        QVERIFY(transfer->outcome.cancelled && early->outcome.cancelled);
        QVERIFY(!transfer->outcome.ok);
        const qint64 received = transfer->received;
        // Another transfer on the same session gives a late callback every chance to come.
        QVERIFY(perform(session, server.origin() + "/__up", "POST").ok);
        QCOMPARE(transfer->received, received);
        QCOMPARE(transfer->completions, 1);
        QVERIFY(!transfer->callbackAfterCompletion);
        QCOMPARE(session.runningTransfers(), 0);

        // Nor does a session dropped with a transfer cancelled in it.
        auto dropped = std::make_unique<HttpSession>();
        const auto orphan = start(*dropped, request(server.origin() + "/__down?bytes=5000000"));
        QTRY_VERIFY_WITH_TIMEOUT(orphan->received > 0, withinMs);
        orphan->task->cancel();
        dropped.reset();
        QVERIFY(perform(session, server.origin() + "/__down?bytes=0").ok);
        QCOMPARE(orphan->completions, 0);
        QCOMPARE(orphan->task->state(), HttpTask::State::finished);
        QCOMPARE(
            server.stop().requests.mid(0, 3),
            (QStringList{"GET /__down?bytes=50000000", "POST /__up", "GET /__down?bytes=5000000"}));
    }

    void fetchesOnlyWhatItTrusts()
    {
        QTemporaryDir folder;
        QVERIFY(SpeedServerProcess::makeCertificate(folder.path()));
        SpeedServerProcess server;
        QVERIFY(server.start(
            {"--cert", folder.filePath("cert.pem"), "--key", folder.filePath("key.pem")}));
        const QString url = server.origin() + "/__down?bytes=1000";
        HttpSession untrusting;
        QCOMPARE(perform(untrusting, url).failure, HttpFailure::certificateRejected);
        const HttpOutcome file = perform(untrusting, "file:///etc/hostname");
        QVERIFY(!file.ok && !file.cancelled && !file.error.isEmpty());
        QCOMPARE(file.failure, HttpFailure::other);
        for (HttpVersion version : {HttpVersion::http1_1, HttpVersion::http2}) {
            HttpSession trusting({version, folder.filePath("cert.pem")});
            const HttpOutcome outcome = perform(trusting, url);
            QVERIFY2(outcome.ok, qPrintable(outcome.error));
            QCOMPARE(outcome.status, 200);
        }
    }
};

TACHORA_TEST_CORE_MAIN(TestHttpSession)
#include "tst_httpsession.moc"
