// SPDX-License-Identifier: GPL-3.0-or-later
#include "FakeService.h"
#include "SpeedServerProcess.h"
#include "TestSupport.h"

#include "platform/HttpSession.h"
#include "platform/HttpTask.h"

#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>

using namespace std::chrono_literals;

class TestHttp : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certificates;

    // Starts the request and waits, at most 15 s, for how it ends.
    static std::optional<HttpOutcome> outcomeOf(HttpSession &&session, HttpRequest request)
    {
        const std::shared_ptr<HttpTask> task = session.task(std::move(request));
        std::optional<HttpOutcome> outcome;
        task->onComplete = [&](const HttpOutcome &ended) { outcome = ended; };
        task->start();
        if (!QTest::qWaitFor([&] { return outcome.has_value(); }, 15000))
            task->cancel();
        return outcome;
    }

private slots:
    void initTestCase() { QVERIFY(SpeedServerProcess::makeCertificate(m_certificates.path())); }

    // A service that never goes silent yet never finishes holds a request no longer than its
    // deadline; without one, the inactivity limit alone lets it run for as long as it trickles.
    void deadline()
    {
        FakeService service;
        service.trickle = 500ms;
        service.handler = [](const FakeService::Request &) {
            return FakeService::Answer{200, QByteArray(600, 'x')};
        };
        const std::optional<HttpOutcome> outcome =
            outcomeOf(HttpSession(), {.url = (service.origin() + "/slow").toUtf8(),
                                      .timeout = 3s,
                                      .body = {},
                                      .deadline = 2s});
        QVERIFY(outcome && !outcome->ok);
        QCOMPARE(outcome->failure, HttpFailure::timedOut);
    }

    void redirect_data()
    {
        TestSupport::addBoolRows("toClearText", "https to https", "https to http");
    }

    // A request begun over TLS never goes on in clear, body and all, where a redirect says.
    void redirect()
    {
        QFETCH(bool, toClearText);
        FakeService clear;
        QSslServer tls;
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(
            QSslCertificate(TestSupport::readFile(m_certificates.filePath("cert.pem"))));
        configuration.setPrivateKey(
            QSslKey(TestSupport::readFile(m_certificates.filePath("key.pem")), QSsl::Ec));
        tls.setSslConfiguration(configuration);
        QVERIFY(tls.listen(QHostAddress::LocalHost));
        const QByteArray tlsOrigin = "https://127.0.0.1:" + QByteArray::number(tls.serverPort());
        const QByteArray target = toClearText ? clear.origin().toUtf8() : tlsOrigin;
        QList<QByteArray> asked;
        connect(&tls, &QSslServer::pendingConnectionAvailable, &tls, [&] {
            while (auto *socket = qobject_cast<QSslSocket *>(tls.nextPendingConnection())) {
                connect(socket, &QSslSocket::readyRead, socket, [&, socket] {
                    const QByteArray head = socket->readAll();
                    asked.append(head.left(head.indexOf(' ', 5)));
                    socket->write(head.startsWith("POST /first")
                                      ? "HTTP/1.1 307 X\r\nLocation: " + target
                                            + "/then\r\nContent-Length: 0\r\n\r\n"
                                      : QByteArray("HTTP/1.1 200 X\r\nContent-Length: 0\r\n\r\n"));
                });
            }
        });
        const std::optional<HttpOutcome> outcome =
            outcomeOf(HttpSession({.caFile = m_certificates.filePath("cert.pem")}),
                      {.method = "POST", .url = tlsOrigin + "/first", .body = "secret"});
        QVERIFY(outcome);
        QCOMPARE(outcome->ok, !toClearText);
        QCOMPARE(clear.requests.size(), 0);
        QCOMPARE(asked.join(','), toClearText ? "POST /first" : "POST /first,POST /then");
    }
};

TACHORA_TEST_CORE_MAIN(TestHttp)
#include "tst_http.moc"
