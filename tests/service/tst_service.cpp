#include "TestSupport.h"

#include "LoopbackClient.h"
#include "PostgresCluster.h"
#include "SpeedServerProcess.h"
#include "diagnostics/CrashReporter.h"
#include "platform/HttpSession.h"
#include "service/ServiceClient.h"
#include "service/SyncAnswer.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUuid>

#include <sys/stat.h>

#include <memory>

using namespace std::chrono_literals;
using Answer = LoopbackClient::Answer;

namespace {

QByteArray post(const QByteArray &path, const QJsonObject &body, const QByteArray &headers = {})
{
    const QByteArray bytes = QJsonDocument(body).toJson(QJsonDocument::Compact);
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers
           + "Content-Length: " + QByteArray::number(bytes.size()) + "\r\n\r\n" + bytes;
}

QJsonObject syncBody(const QString &device, const QString &nonce)
{
    return {{"n", nonce}, {"d", device}, {"v", "0.1.0"}, {"os", "Debian 12"}, {"c", "direct"}};
}

QString newNonce()
{
    return QUuid::createUuid().toString(QUuid::Id128).toUpper();
}

const QJsonObject report{
    {"d", "D1"}, {"v", "0.1.0"}, {"os", "Debian GNU/Linux 12"}, {"text", "Le test s'arrête."}};
const QJsonObject crash{{"d", "D1"},         {"kind", "crash"}, {"message", "Signal 11"},
                        {"stack", "f1\nf2"}, {"v", "0.1.0"},    {"os", "Debian GNU/Linux 12"}};

QJsonObject with(QJsonObject object, const QString &key, const QJsonValue &value)
{
    object.insert(key, value);
    return object;
}

} // namespace

class TestService : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_key;
    QByteArray m_publicKey;
    std::unique_ptr<PostgresCluster> m_postgres;
    QString m_database;
    QProcess m_service;
    int m_port = 0;

    // Runs a command on this test's database: its standard output, or a null text when it
    // failed.
    QString command(const QStringList &arguments)
    {
        const auto done =
            TestSupport::run(SERVICE_PATH, arguments + QStringList{"--db", m_database});
        return done.status == 0 ? QString::fromUtf8(done.out) : QString();
    }

    bool startService(const QStringList &arguments = {})
    {
        m_port = TestSupport::startServer(
            m_service, SERVICE_PATH,
            QStringList{"serve", "--key", m_key, "--listen", "127.0.0.1:0", "--db", m_database}
                + arguments);
        return m_port > 0;
    }

    Answer exchange(const QByteArray &bytes)
    {
        LoopbackClient client(m_port);
        client.send(bytes);
        return client.read();
    }

    // The message of a sync answer as the application takes it, or -1 when it would not.
    std::pair<qint64, QString> taken(const QByteArray &answer, const QString &nonce) const
    {
        const auto message = SyncAnswer::decode(answer, nonce, m_publicKey,
                                                double(QDateTime::currentSecsSinceEpoch()));
        return message ? std::pair(message->id, message->text) : std::pair(qint64(-1), QString());
    }

    std::pair<qint64, QString> sync(const QString &device)
    {
        const QString nonce = newNonce();
        return taken(exchange(post("/api/check.php", syncBody(device, nonce))).body, nonce);
    }

private slots:
    void initTestCase()
    {
        m_key = m_dir.filePath("service.key");
        const auto keygen = TestSupport::run(SERVICE_PATH, {"keygen", "--key", m_key});
        QCOMPARE(keygen.status, 0);
        m_publicKey = QByteArray::fromBase64(keygen.out.trimmed());
        QCOMPARE(m_publicKey.size(), 32);
        struct stat status
        {};
        QVERIFY(stat(QFile::encodeName(m_key).constData(), &status) == 0);
        QCOMPARE(status.st_mode & 0777, 0600u);
        const QByteArray secret = TestSupport::readFile(m_key);
        // A second keygen never replaces the key the application was built with.
        QVERIFY(TestSupport::run(SERVICE_PATH, {"keygen", "--key", m_key}).status > 0);
        QCOMPARE(TestSupport::readFile(m_key), secret);

        if (qEnvironmentVariable("TACHORA_TEST_DATABASE") == "postgresql") {
            m_postgres = std::make_unique<PostgresCluster>(POSTGRES_BIN);
            const QString problem = m_postgres->start();
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
        }
    }

    void init()
    {
        static int count = 0;
        m_database = m_postgres ? m_postgres->newDatabase()
                                : m_dir.filePath(QString("test%1.db").arg(++count));
        QVERIFY(!m_database.isEmpty());
    }

    void cleanup()
    {
        m_service.terminate();
        m_service.waitForFinished();
    }

    void refusesBadInput_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        // A report's head with these header lines, and one with a body of its own.
        const auto head = [](const QByteArray &lines) {
            return "POST /api/report.php HTTP/1.1\r\n" + lines + "\r\n";
        };
        const auto raw = [&](const QByteArray &body) {
            return head("Content-Length: " + QByteArray::number(body.size()) + "\r\n") + body;
        };
        QTest::newRow("a JSON array") << raw("[]") << 400;
        QTest::newRow("no body") << raw("") << 400;
        QTest::newRow("device a number") << post("/api/crash.php", with(crash, "d", 5)) << 400;
        QTest::newRow("e-mail null")
            << post("/api/report.php", with(report, "email", QJsonValue::Null)) << 400;
        QTest::newRow("blank text") << post("/api/report.php", with(report, "text", " \n ")) << 400;
        QTest::newRow("text over 16000")
            << post("/api/report.php", with(report, "text", QString(16001, 'x'))) << 400;
        QTest::newRow("NUL in the stack")
            << post("/api/crash.php", with(crash, "stack", QString("f1") + QChar(0))) << 400;
        QTest::newRow("nonce with a line feed")
            << post("/api/check.php", syncBody("D1", "AB\n17\n9\nforged")) << 400;
        QTest::newRow("GET") << QByteArray("GET /api/check.php HTTP/1.1\r\n\r\n") << 405;
        QTest::newRow("unknown endpoint") << post("/api/other.php", report) << 404;
        // Only the head is sent: the refusal must come without the body.
        QTest::newRow("100 MB announced") << head("Content-Length: 100000000\r\n") << 413;
        QTest::newRow("chunked") << head("Transfer-Encoding: chunked\r\n") + "2\r\n{}\r\n0\r\n\r\n"
                                 << 411;
        QTest::newRow("two lengths")
            << head("Content-Length: 2\r\nContent-Length: 3\r\n") + "{}" << 400;
        QTest::newRow("no version") << QByteArray("POST /api/report.php\r\n\r\n") << 400;
        QTest::newRow("HTTP/2 preface") << QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") << 400;
        QTest::newRow("bare line feed in a header")
            << raw(QJsonDocument(report).toJson())
                   .replace("\r\nContent", "\r\nX: a\nY: b\r\nContent")
            << 400;
        QTest::newRow("headers over 8 KB")
            << head("X-Pad: " + QByteArray(9000, 'x') + "\r\n") << 431;
    }

    void refusesBadInput()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QVERIFY(startService());
        const Answer answer = exchange(request);
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.json()["ok"], QJsonValue(false));
        QVERIFY(!answer.json()["error"].toString().isEmpty());
        QCOMPARE(command({"reports"}), QString(""));
        QCOMPARE(command({"crashes"}), QString(""));
    }

    void storesAndLists()
    {
        QVERIFY(startService());
        // Three requests on one connection: the first with the second's head up to the middle
        // of its blank line, and the rest once the first is answered.
        LoopbackClient client(m_port);
        const QByteArray first = post("/api/report.php", with(report, "email", "ana@example.org"));
        const QByteArray requests =
            first + post("/api/report.php", with(report, "text", "Deuxième\n\x1b[2J ligne"))
            + post("/api/crash.php", crash);
        const qsizetype split = requests.indexOf("\r\n\r\n", first.size()) + 3;
        QVERIFY(client.send(requests.left(split)));
        for (int i = 0; i < 3; ++i) {
            const Answer answer = client.read();
            QCOMPARE(answer.status, 200);
            QCOMPARE(answer.json(), QJsonObject({{"ok", true}}));
            QVERIFY(i > 0 || client.send(requests.mid(split)));
        }
        const QString reports = command({"reports"});
        QVERIFY(reports.startsWith("report 2, "));
        QVERIFY(reports.contains("report 1, "));
        QCOMPARE(reports.count("email   ana@example.org"), 1);
        QVERIFY(reports.contains("device  D1\n  version 0.1.0, Debian GNU/Linux 12\n"));
        // The client's escape sequence never reaches the maker's terminal.
        QVERIFY(reports.contains("    Deuxième\n    ?[2J ligne\n"));
        QVERIFY(reports.contains("    Le test s'arrête.\n"));
        QCOMPARE(command({"reports", "--limit", "1"}).count("report "), 1);
        const QString crashes = command({"crashes", "--stack"});
        QVERIFY(crashes.startsWith("crash 1, "));
        QVERIFY(crashes.contains("kind    crash\n    Signal 11\n  stack:\n    f1\n    f2\n"));
    }

    void deliversMessagesInOrder()
    {
        QVERIFY(startService({"--repeats", "2"}));
        QCOMPARE(sync("A"), std::make_pair(qint64(0), QString()));
        QCOMPARE(sync("B").first, 0);
        QCOMPARE(command({"answer", "--device", "A", "--text", "Première"}),
                 QString("message 1 queued for device A\n"));
        QVERIFY(!command({"answer", "--device", "A", "--text", "Deuxième"}).isNull());
        QVERIFY(!command({"broadcast", "--text", "Pour tous"}).isNull());
        // Bad texts are refused before they are stored.
        QVERIFY(command({"broadcast", "--text", " \n"}).isNull());
        QVERIFY(command({"answer", "--device", "A", "--text", "bip\a"}).isNull());

        // Each message comes twice, oldest first; then nothing.
        const QList<std::pair<qint64, QString>> expected = {
            {1, "Première"},  {1, "Première"},  {2, "Deuxième"}, {2, "Deuxième"},
            {3, "Pour tous"}, {3, "Pour tous"}, {0, ""}};
        for (const auto &message : expected)
            QCOMPARE(sync("A"), message);
        QCOMPARE(sync("B"), std::make_pair(qint64(3), QString("Pour tous")));
        // A device that first syncs after a broadcast does not get it.
        QCOMPARE(sync("C").first, 0);
    }

    void limitsRates()
    {
        QVERIFY(startService({"--limit-device", "3", "--limit-address", "6", "--proxy"}));
        const auto statusFrom = [&](const QByteArray &address, const QString &device) {
            return exchange(post("/api/check.php", syncBody(device, newNonce()),
                                 QByteArray("X-Real-IP: ") + address + "\r\n"))
                .status;
        };
        QList<int> statuses;
        for (const char *device : {"X", "X", "X", "X", "Y", "Y", "Y"})
            statuses << statusFrom("192.0.2.1", device);
        QCOMPARE(statuses, QList<int>({200, 200, 200, 429, 200, 200, 429}));
        QCOMPARE(statusFrom("192.0.2.2", "Z"), 200);
        // An X-Real-IP that is no address counts as the proxy's own.
        for (int i = 0; i < 7; ++i)
            statuses << statusFrom(QByteArray("forged ").append(char('0' + i)), QString::number(i));
        QCOMPARE(statuses.last(), 429);
    }

    void closesSlowAndIdleConnections()
    {
        // As from many clients: this one address may hold any number of connections.
        QVERIFY(startService({"--timeout", "1", "--max-address-connections", "0"}));
        std::vector<std::unique_ptr<LoopbackClient>> idle;
        for (int i = 0; i < 200; ++i)
            idle.push_back(std::make_unique<LoopbackClient>(m_port));
        // Idle connections hold no worker: a new client is answered at once.
        QCOMPARE(sync("D1").first, 0);
        QVERIFY(idle.front()->closedByPeer());

        // A client that trickles its head byte by byte is closed all the same.
        LoopbackClient slow(m_port, 100);
        const QByteArray head = post("/api/check.php", syncBody("D2", newNonce()));
        bool closed = false;
        for (qsizetype i = 0; i < head.size() && i < 50 && !closed; ++i)
            closed = !slow.send(head.mid(i, 1)) || slow.closedByPeer();
        QVERIFY(closed);
    }

    // Half-open connections from one address cannot use up the service's: past its share, a
    // connection is closed at once, and the share comes back as they close.
    void limitsConnectionsPerAddress()
    {
        QVERIFY(startService({"--max-connections", "50", "--max-address-connections", "4"}));
        std::vector<std::unique_ptr<LoopbackClient>> held;
        for (int i = 0; i < 4; ++i) {
            held.push_back(std::make_unique<LoopbackClient>(m_port));
            QVERIFY(held.back()->send("POST /api/check.php HTTP/1.1\r\n"));
        }
        QVERIFY(LoopbackClient(m_port).closedByPeer());
        held.pop_back();
        QVERIFY(QTest::qWaitFor([&] { return sync("D1").first == 0; }, 5000));
    }

    // The application's own code against the real service: a crash record arrives; a report
    // goes in, the maker answers it, the next sync brings the answer once.
    void applicationClients()
    {
        QVERIFY(startService());
        const QString origin = QString("http://127.0.0.1:%1").arg(m_port);
        CrashReporter::setServiceOrigin(origin);
        CrashReporter::reportError("Erreur de test");
        QVERIFY(QTest::qWaitFor([] { return CrashReporter::uploadsRunning() == 0; }, 10000));
        const QString crashes = command({"crashes", "--stack"});
        QVERIFY(crashes.startsWith("crash 1, ") && crashes.contains("  device  ?\n"));
        QVERIFY(crashes.contains("  kind    error\n    Erreur de test\n  stack:\n    "));

        ServiceClient client({origin, m_publicKey, nullptr, {}});
        QCOMPARE(QCoro::waitFor(client.reportProblem("Le test s'arrête.", "moi@exemple.fr")),
                 ReportOutcome::sent);
        // A text the service never takes is told apart from a failure to reach it.
        QCOMPARE(QCoro::waitFor(client.reportProblem(QString(16001, u'x'), {})),
                 ReportOutcome::refused);
        const QString reports = command({"reports"});
        QVERIFY(reports.contains(client.deviceId()) && reports.contains("Le test s'arrête."));
        QVERIFY(!command({"answer", "--device", client.deviceId(), "--text", "Réglé !"}).isNull());
        QCoro::waitFor(client.checkWithServer());
        QCOMPARE(client.pendingMessage().value_or(SyncAnswer::Message{}).text, "Réglé !");
        client.markMessageShown();
        QCoro::waitFor(client.checkWithServer());
        QVERIFY(!client.pendingMessage());
    }

    void behindNginx()
    {
        if (m_postgres)
            QSKIP("the proxy does not depend on the database");
#ifndef NGINX_PATH
        QSKIP("nginx is not installed");
#else
        QVERIFY(startService({"--proxy"}));
        QVERIFY(SpeedServerProcess::makeCertificate(m_dir.path()));
        QString snippet = QString::fromUtf8(TestSupport::readFile(SNIPPET_PATH));
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const int port = probe.serverPort();
        probe.close();
        const QList<std::pair<QString, QString>> local = {
            {"listen 443 ssl http2;", QString("listen 127.0.0.1:%1 ssl http2;").arg(port)},
            {"    listen [::]:443 ssl http2;\n", ""},
            {"server 127.0.0.1:8080;", QString("server 127.0.0.1:%1;").arg(m_port)},
            {"/etc/letsencrypt/live/service.example.org/fullchain.pem", m_dir.filePath("cert.pem")},
            {"/etc/letsencrypt/live/service.example.org/privkey.pem", m_dir.filePath("key.pem")}};
        for (const auto &[from, to] : local) {
            QVERIFY2(snippet.contains(from), qPrintable(from));
            snippet.replace(from, to);
        }
        const QString folder = m_dir.filePath("nginx");
        QDir().mkpath(folder);
        const QString config = folder + "/nginx.conf";
        QVERIFY(TestSupport::writeFile(
            config, QString("%1worker_processes 1;\npid %2/nginx.pid;\nevents {}\nhttp {\n"
                            "access_log off;\nclient_body_temp_path %2/body;\n"
                            "proxy_temp_path %2/proxy;\n%3}\n")
                        .arg(geteuid() == 0 ? "user root;\n" : "", folder, snippet)
                        .toUtf8()));
        const QStringList nginx = {"-c", config, "-e", folder + "/error.log"};
        QCOMPARE(TestSupport::run(NGINX_PATH, nginx).status, 0);
        const auto stopNginx = qScopeGuard([&] {
            TestSupport::run(NGINX_PATH, nginx + QStringList{"-s", "stop"});
        });

        HttpSession https({HttpVersion::http2, m_dir.filePath("cert.pem")});
        const auto send = [&](const char *path, const QByteArray &body) {
            const QString url = QString("https://127.0.0.1:%1%2").arg(port).arg(path);
            return QCoro::waitFor(https.fetch({"POST", url.toUtf8(), 10s, body}, 1 << 16));
        };
        QCOMPARE(send("/api/report.php", QJsonDocument(report).toJson()).outcome.status, 200);
        QCOMPARE(send("/api/report.php", QByteArray(100000, ' ')).outcome.status, 413);
        const QString nonce = newNonce();
        const HttpResponse answer =
            send("/api/check.php", QJsonDocument(syncBody("D1", nonce)).toJson());
        QCOMPARE(taken(answer.body, nonce).first, 0);
        QVERIFY(command({"reports"}).contains("Le test s'arrête."));
#endif
    }
};

TACHORA_TEST_CORE_MAIN(TestService)
#include "tst_service.moc"
