#include "TestSupport.h"

#include "PostgresCluster.h"
#include "SpeedServerProcess.h"
#include "diagnostics/CrashReporter.h"
#include "service/ServiceClient.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QUuid>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sodium.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

struct Answer
{
    int status = 0; // 0: the connection closed or timed out first
    QJsonObject json;
};

// A plain TCP connection to 127.0.0.1:port; reads wait at most `timeoutMs`.
class Client
{
public:
    explicit Client(int port, int timeoutMs = 5000)
        : m_fd(socket(AF_INET, SOCK_STREAM, 0))
    {
        const timeval timeout{timeoutMs / 1000, timeoutMs % 1000 * 1000};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    ~Client() { ::close(m_fd); }

    bool send(const QByteArray &bytes)
    {
        return ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }

    Answer read()
    {
        for (;;) {
            const qsizetype end = m_in.indexOf("\r\n\r\n");
            const qsizetype at = m_in.left(end).toLower().indexOf("content-length: ");
            const qsizetype length =
                at < 0 ? 0 : m_in.mid(at + 16, m_in.indexOf("\r\n", at) - at - 16).toLongLong();
            if (end >= 0 && m_in.size() >= end + 4 + length) {
                Answer answer{m_in.mid(9, 3).toInt(),
                              QJsonDocument::fromJson(m_in.mid(end + 4, length)).object()};
                m_in.remove(0, end + 4 + length);
                return answer;
            }
            if (!receive())
                return {};
        }
    }

    // Whether the service closed the connection within the read time-out.
    bool closedByService()
    {
        while (receive()) {
        }
        return errno == 0 || errno == ECONNRESET;
    }

private:
    bool receive()
    {
        char buffer[4096];
        errno = 0;
        const ssize_t count = recv(m_fd, buffer, sizeof buffer, 0);
        if (count > 0)
            m_in.append(buffer, count);
        return count > 0;
    }

    int m_fd;
    QByteArray m_in;
};

QByteArray post(const QByteArray &path, const QJsonObject &body, const QByteArray &headers = {})
{
    const QByteArray bytes = QJsonDocument(body).toJson(QJsonDocument::Compact);
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers
           + "Content-Length: " + QByteArray::number(bytes.size()) + "\r\n\r\n" + bytes;
}

QJsonObject syncBody(const QString &device, const QString &nonce)
{
    return {{"n", nonce},
            {"d", device},
            {"v", "0.1.0"},
            {"os", "Debian GNU/Linux 12"},
            {"c", "direct"}};
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
    if (value.isUndefined())
        object.remove(key);
    else
        object.insert(key, value);
    return object;
}

// A free TCP port on 127.0.0.1, for a server that cannot pick its own.
int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
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
        QProcess process;
        process.start(SERVICE_PATH, arguments + QStringList{"--db", m_database});
        if (!process.waitForFinished(20000) || process.exitCode() != 0)
            return {};
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    bool startService(const QStringList &arguments = {})
    {
        m_service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_service.start(SERVICE_PATH, QStringList{"serve", "--key", m_key, "--listen",
                                                  "127.0.0.1:0", "--db", m_database}
                                          + arguments);
        while (m_service.waitForStarted() && !m_service.canReadLine()) {
            if (!m_service.waitForReadyRead(20000))
                return false;
        }
        m_port = m_service.readLine().trimmed().mid(5).toInt();
        return m_port > 0;
    }

    Answer exchange(const QByteArray &bytes)
    {
        Client client(m_port);
        client.send(bytes);
        return client.read();
    }

    // Takes a sync answer as the application does: every member of its type, the nonce
    // repeated, the clock close, the signature good. The message id and text, or -1.
    std::pair<qint64, QString> taken(const Answer &answer, const QString &nonce)
    {
        const QJsonObject &json = answer.json;
        if (!json["n"].isString() || !json["msg"].isString() || !json["sig"].isString()
            || !json["ts"].isDouble() || !json["mid"].isDouble()
            || json["ts"].toDouble() != double(json["ts"].toInteger())
            || json["mid"].toDouble() != double(json["mid"].toInteger())
            || json["n"].toString() != nonce
            || qAbs(QDateTime::currentSecsSinceEpoch() - json["ts"].toInteger()) >= 600)
            return {-1, {}};
        const QByteArray text = nonce.toUtf8() + "\n" + QByteArray::number(json["ts"].toInteger())
                                + "\n" + QByteArray::number(json["mid"].toInteger()) + "\n"
                                + json["msg"].toString().toUtf8();
        const QByteArray signature = QByteArray::fromBase64(json["sig"].toString().toLatin1());
        if (signature.size() != crypto_sign_BYTES
            || crypto_sign_verify_detached(
                   reinterpret_cast<const unsigned char *>(signature.constData()),
                   reinterpret_cast<const unsigned char *>(text.constData()), quint64(text.size()),
                   reinterpret_cast<const unsigned char *>(m_publicKey.constData()))
                   != 0)
            return {-1, {}};
        return {json["mid"].toInteger(), json["msg"].toString()};
    }

    std::pair<qint64, QString> sync(const QString &device)
    {
        const QString nonce = newNonce();
        return taken(exchange(post("/api/check.php", syncBody(device, nonce))), nonce);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(sodium_init() >= 0);
        m_key = m_dir.filePath("service.key");
        QProcess keygen;
        keygen.start(SERVICE_PATH, {"keygen", "--key", m_key});
        QVERIFY(keygen.waitForFinished() && keygen.exitCode() == 0);
        m_publicKey = QByteArray::fromBase64(keygen.readAllStandardOutput().trimmed());
        QCOMPARE(m_publicKey.size(), crypto_sign_PUBLICKEYBYTES);
        struct stat status
        {};
        QVERIFY(stat(QFile::encodeName(m_key).constData(), &status) == 0);
        QCOMPARE(status.st_mode & 0777, 0600u);
        const QByteArray secret = [&] {
            QFile file(m_key);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        }();
        // A second keygen never replaces the key the application was built with.
        keygen.start(SERVICE_PATH, {"keygen", "--key", m_key});
        QVERIFY(keygen.waitForFinished() && keygen.exitCode() != 0);
        QFile file(m_key);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), secret);

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
        const QByteArray reportPath = "/api/report.php";
        const QByteArray crashPath = "/api/crash.php";
        const QByteArray checkPath = "/api/check.php";
        const auto raw = [&](const QByteArray &body) {
            return "POST /api/report.php HTTP/1.1\r\nContent-Length: "
                   + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        };
        QTest::newRow("not JSON") << raw("{\"d\": ") << 400;
        QTest::newRow("a JSON array") << raw("[]") << 400;
        QTest::newRow("no body") << raw("") << 400;
        QTest::newRow("text missing") << post(reportPath, with(report, "text", {})) << 400;
        QTest::newRow("device a number") << post(crashPath, with(crash, "d", 5)) << 400;
        QTest::newRow("e-mail null")
            << post(reportPath, with(report, "email", QJsonValue::Null)) << 400;
        QTest::newRow("blank text") << post(reportPath, with(report, "text", " \n ")) << 400;
        QTest::newRow("text over 16000")
            << post(reportPath, with(report, "text", QString(16001, 'x'))) << 400;
        QTest::newRow("NUL in the stack")
            << post(crashPath, with(crash, "stack", QString("f1") + QChar(0))) << 400;
        QTest::newRow("nonce with a line feed")
            << post(checkPath, syncBody("D1", "AB\n17\n9\nforged")) << 400;
        QTest::newRow("nonce over 64") << post(checkPath, syncBody("D1", QString(65, 'A'))) << 400;
        QTest::newRow("GET") << QByteArray("GET /api/check.php HTTP/1.1\r\n\r\n") << 405;
        QTest::newRow("unknown endpoint") << post("/api/other.php", report) << 404;
        // Only the head is sent: the refusal must come without the body.
        QTest::newRow("100 MB announced")
            << QByteArray("POST /api/report.php HTTP/1.1\r\nContent-Length: 100000000\r\n\r\n")
            << 413;
        QTest::newRow("chunked") << QByteArray(
            "POST /api/report.php HTTP/1.1\r\n"
            "Transfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n")
                                 << 411;
        QTest::newRow("two lengths")
            << QByteArray("POST /api/report.php HTTP/1.1\r\nContent-Length: 2\r\n"
                          "Content-Length: 3\r\n\r\n{}")
            << 400;
        QTest::newRow("no version") << QByteArray("POST /api/report.php\r\n\r\n") << 400;
        QTest::newRow("HTTP/2 preface") << QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") << 400;
        QTest::newRow("headers over 8 KB") << QByteArray(
            "POST /api/report.php HTTP/1.1\r\nX-Pad: " + QByteArray(9000, 'x') + "\r\n\r\n")
                                           << 431;
    }

    void refusesBadInput()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QVERIFY(startService());
        const Answer answer = exchange(request);
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.json["ok"], QJsonValue(false));
        QVERIFY(!answer.json["error"].toString().isEmpty());
        QCOMPARE(command({"reports"}), QString(""));
        QCOMPARE(command({"crashes"}), QString(""));
    }

    void storesAndLists()
    {
        QVERIFY(startService());
        // Three requests in one write, on one connection.
        Client client(m_port);
        QVERIFY(
            client.send(post("/api/report.php", with(report, "email", "ana@example.org"))
                        + post("/api/report.php", with(report, "text", "Deuxième\n\x1b[2J ligne"))
                        + post("/api/crash.php", crash)));
        for (int i = 0; i < 3; ++i) {
            const Answer answer = client.read();
            QCOMPARE(answer.status, 200);
            QCOMPARE(answer.json, QJsonObject({{"ok", true}}));
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

        // The check above can fail: another nonce breaks the signature.
        const QString nonce = newNonce();
        const Answer answer = exchange(post("/api/check.php", syncBody("B", nonce)));
        QCOMPARE(taken(answer, nonce).first, 3);
        QJsonObject forged = answer.json;
        forged["n"] = newNonce();
        QCOMPARE(taken({200, forged}, forged["n"].toString()).first, -1);
    }

    void limitsRates()
    {
        QVERIFY(startService({"--limit-device", "3", "--limit-address", "6", "--proxy"}));
        const auto statusFrom = [&](const char *address, const QString &device) {
            return exchange(post("/api/check.php", syncBody(device, newNonce()),
                                 QByteArray("X-Real-IP: ") + address + "\r\n"))
                .status;
        };
        QList<int> statuses;
        for (const char *device : {"X", "X", "X", "X", "Y", "Y", "Y"})
            statuses << statusFrom("192.0.2.1", device);
        QCOMPARE(statuses, QList<int>({200, 200, 200, 429, 200, 200, 429}));
        QCOMPARE(statusFrom("192.0.2.2", "Z"), 200);
    }

    void closesSlowAndIdleConnections()
    {
        QVERIFY(startService({"--timeout", "1"}));
        std::vector<std::unique_ptr<Client>> idle;
        for (int i = 0; i < 200; ++i)
            idle.push_back(std::make_unique<Client>(m_port));
        // Idle connections hold no worker: a new client is answered at once.
        QCOMPARE(sync("D1").first, 0);
        QVERIFY(idle.front()->closedByService());

        // A client that trickles its head byte by byte is closed all the same.
        Client slow(m_port, 100);
        const QByteArray head = post("/api/check.php", syncBody("D2", newNonce()));
        bool closed = false;
        for (qsizetype i = 0; i < head.size() && i < 50 && !closed; ++i)
            closed = !slow.send(head.mid(i, 1)) || slow.closedByService();
        QVERIFY(closed);
    }

    // The application's own crash reporter, against the real service.
    void crashRecordArrives()
    {
        QVERIFY(startService());
        CrashReporter::setServiceOrigin(QString("http://127.0.0.1:%1").arg(m_port));
        CrashReporter::reportError("Erreur de test");
        QVERIFY(QTest::qWaitFor([] { return CrashReporter::uploadsRunning() == 0; }, 10000));
        const QString crashes = command({"crashes", "--stack"});
        QVERIFY(crashes.startsWith("crash 1, "));
        QVERIFY(crashes.contains("  device  ?\n"));
        QVERIFY(crashes.contains("  kind    error\n    Erreur de test\n  stack:\n    "));
    }

    // The application's own client: a report goes in, the maker answers it, the next sync
    // brings the answer once.
    void reportIsAnsweredOnce()
    {
        QVERIFY(startService());
        ServiceClient client(
            {QString("http://127.0.0.1:%1").arg(m_port), m_publicKey, nullptr, {}});
        QVERIFY(QCoro::waitFor(client.reportProblem("Le test s'arrête.", "moi@exemple.fr")));
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
        QFile snippetFile(SNIPPET_PATH);
        QVERIFY(snippetFile.open(QIODevice::ReadOnly));
        QString snippet = QString::fromUtf8(snippetFile.readAll());
        const int port = freePort();
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
        QFile config(folder + "/nginx.conf");
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QString("%1worker_processes 1;\npid %2/nginx.pid;\nevents {}\nhttp {\n"
                             "access_log off;\nclient_body_temp_path %2/body;\n"
                             "proxy_temp_path %2/proxy;\n%3}\n")
                         .arg(geteuid() == 0 ? "user root;\n" : "", folder, snippet)
                         .toUtf8());
        config.close();
        const QStringList nginx = {"-c", config.fileName(), "-e", folder + "/error.log"};
        QProcess process;
        process.start(NGINX_PATH, nginx);
        QVERIFY(process.waitForFinished() && process.exitCode() == 0);
        const auto stopNginx = qScopeGuard([&] {
            process.start(NGINX_PATH, nginx + QStringList{"-s", "stop"});
            process.waitForFinished();
        });

        const auto curl = [&](const char *path, const QByteArray &body) {
            QProcess client;
            client.start("curl", {"-s", "--cacert", m_dir.filePath("cert.pem"), "-w",
                                  "\n%{http_code}", "--data-binary", "@-",
                                  QString("https://127.0.0.1:%1%2").arg(port).arg(path)});
            client.write(body);
            client.closeWriteChannel();
            client.waitForFinished();
            const QByteArray output = client.readAllStandardOutput();
            const qsizetype split = output.lastIndexOf('\n');
            return Answer{output.mid(split + 1).toInt(),
                          QJsonDocument::fromJson(output.left(split)).object()};
        };
        QCOMPARE(curl("/api/report.php", QJsonDocument(report).toJson()).status, 200);
        QCOMPARE(curl("/api/report.php", QByteArray(100000, ' ')).status, 413);
        const QString nonce = newNonce();
        const Answer answer = curl("/api/check.php", QJsonDocument(syncBody("D1", nonce)).toJson());
        QCOMPARE(taken(answer, nonce).first, 0);
        QVERIFY(command({"reports"}).contains("Le test s'arrête."));
#endif
    }
};

TACHORA_TEST_CORE_MAIN(TestService)
#include "tst_service.moc"
