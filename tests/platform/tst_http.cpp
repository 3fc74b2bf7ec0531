// SPDX-License-Identifier: GPL-3.0-or-later
#include "FakeService.h"
#include "SpeedServerProcess.h"
#include "TestSupport.h"

#include "platform/HttpSession.h"
#include "platform/HttpTask.h"
#include "platform/TcpCounters.h"
#include "platform/TcpPacing.h"

using namespace std::chrono_literals;

class TestHttp : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certificates;

    // How the request ends; cancelled when it has not within 15 s.
    static HttpOutcome outcomeOf(HttpSession &&session, HttpRequest request)
    {
        const std::shared_ptr<HttpTask> task = session.task(std::move(request));
        QTimer::singleShot(15000, &session, [task] { task->cancel(); });
        return QCoro::waitFor(session.perform(task));
    }

private slots:
    void initTestCase() { QVERIFY(TestSupport::makeCertificate(m_certificates.path())); }

    // A service that never goes silent yet never finishes holds a request no longer than its
    // deadline; without one, the inactivity limit alone lets it run for as long as it trickles.
    void deadline()
    {
        FakeService service;
        service.trickle = 500ms;
        service.handler = [](const FakeService::Request &) {
            return FakeService::Answer{200, QByteArray(600, 'x')};
        };
        const HttpOutcome outcome =
            outcomeOf(HttpSession(), {.url = (service.origin() + "/slow").toUtf8(),
                                      .timeout = 3s,
                                      .body = {},
                                      .deadline = 1s});
        QCOMPARE(outcome.failure, HttpFailure::timedOut);
    }

    void redirect_data()
    {
        TestSupport::addBoolRows("toClearText", "https to https", "https to http");
    }

    // A request begun over TLS never goes on in clear, body and all, where a redirect says.
    void redirect()
    {
        QFETCH(bool, toClearText);
        FakeService clear, tls(m_certificates.path());
        const QByteArray target = (toClearText ? clear : tls).origin().toUtf8();
        tls.handler = [&](const FakeService::Request &request) {
            return FakeService::Answer{
                request.path == "/first" ? 307 : 200, {}, "Location: " + target + "/then\r\n"};
        };
        const HttpOutcome outcome = outcomeOf(
            HttpSession({.caFile = m_certificates.filePath("cert.pem")}),
            {.method = "POST", .url = tls.origin().toUtf8() + "/first", .body = "secret"});
        QVERIFY(!outcome.cancelled);
        QCOMPARE(outcome.ok, !toClearText);
        QCOMPARE(clear.requests.size(), 0);
        QStringList asked;
        for (const FakeService::Request &request : std::as_const(tls.requests))
            asked.append(request.method + ' ' + request.path);
        QCOMPARE(asked.join(','), toClearText ? "POST /first" : "POST /first,POST /then");
    }

    // A transfer's pacing limit holds its connection while it runs, and the connection kept
    // for the next request goes back to its own pace.
    void pacingLimitLeavesWithTheTransfer()
    {
        SpeedServerProcess server;
        QVERIFY(server.start());
        HttpSession session;
        HttpRequest request;
        request.url = (server.origin() + "/__down?bytes=2000000").toUtf8();
        const std::shared_ptr<HttpTask> task = session.task(request);
        task->limitPacing(12'345'678);
        std::optional<quint64> seen;
        task->onReceive = [&](QByteArrayView) {
            if (!seen)
                seen = task->pacingLimit();
        };
        QTimer::singleShot(15000, &session, [task] { task->cancel(); });
        QVERIFY(QCoro::waitFor(session.perform(task)).ok);
        QCOMPARE(seen.value_or(0), quint64(12'345'678));
        QList<quint64> kept;
        for (const QString &entry : QDir("/proc/self/fd").entryList(QDir::System))
            if (const std::optional<quint64> limit = TcpCounters::pacingLimit(entry.toInt()))
                kept.append(*limit);
        QCOMPARE(kept, QList<quint64>{TcpPacing::unlimited});
    }
};

TACHORA_TEST_CORE_MAIN(TestHttp)
#include "tst_http.moc"
