// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"

#include "FailureLog.h"
#include "LoopbackClient.h"
#include "PostgresCluster.h"
#include "RateLimiter.h"
#include "platform/HttpSession.h"
#include "service/SyncAnswer.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace std::chrono_literals;

namespace {

// A request as a proxy in front hands it on when `address` is given.
QByteArray post(const QByteArray &path, const QJsonObject &body, const QByteArray &address = {})
{
    const QByteArray bytes = QJsonDocument(body).toJson(QJsonDocument::Compact);
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
           + (address.isEmpty() ? QByteArray() : "X-Real-IP: " + address + "\r\n")
           + "Content-Length: " + QByteArray::number(bytes.size()) + "\r\n\r\n" + bytes;
}

QJsonObject syncBody(const QString &device,
                     const QString &nonce = QUuid::createUuid().toString(QUuid::Id128).toUpper())
{
    return {{"n", nonce}, {"d", device}, {"v", "0.1.0"}, {"os", "Debian 12"}, {"c", "direct"}};
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
    // The services this test started; m_port is the last one's.
    std::list<QProcess> m_services;
    int m_port = 0;

    // Runs a command on this test's database: its standard output, or "failed: " and its
    // error output.
    QString command(const QStringList &arguments)
    {
        const auto done =
            TestSupport::run(SERVICE_PATH, arguments + QStringList{"--db", m_database});
        return QString::fromUtf8(done.status == 0 ? done.out : "failed: " + done.err);
    }

    bool startService(const QStringList &arguments = {})
    {
        m_port = TestSupport::startServer(
            m_services.emplace_back(), SERVICE_PATH,
            QStringList{"serve", "--key", m_key, "--listen", "127.0.0.1:0", "--db", m_database}
                + arguments);
        return m_port > 0;
    }

    LoopbackClient::Answer exchange(const QByteArray &bytes)
    {
        LoopbackClient client(m_port);
        client.send(bytes);
        return client.read();
    }

    int status(const QByteArray &path, const QJsonObject &body, const QByteArray &address = {})
    {
        return exchange(post(path, body, address)).status;
    }

    // The message of a sync answer as the application takes it, or -1 when it would not.
    std::pair<qint64, QString> sync(const QString &device)
    {
        const QJsonObject body = syncBody(device);
        const auto message =
            SyncAnswer::decode(exchange(post("/api/check.php", body)).body, body["n"].toString(),
                               m_publicKey, double(QDateTime::currentSecsSinceEpoch()));
        return message ? std::pair(message->id, message->text) : std::pair(qint64(-1), QString());
    }

private slots:
    void initTestCase()
    {
        m_key = m_dir.filePath("service.key");
        const auto keygen = TestSupport::run(SERVICE_PATH, {"keygen", "--key", m_key});
        m_publicKey = QByteArray::fromBase64(keygen.out.trimmed());
        QVERIFY(keygen.status == 0 && m_publicKey.size() == 32);
        // Neither the group nor others may read or write the secret key.
        QCOMPARE(int(QFile::permissions(m_key)) & 0x77, 0);
        const QByteArray secret = TestSupport::readFile(m_key);
        // A second keygen never replaces the key the application was built with.
        QVERIFY(TestSupport::run(SERVICE_PATH, {"keygen", "--key", m_key}).status > 0);
        QCOMPARE(TestSupport::readFile(m_key), secret);

        if (qEnvironmentVariable("TACHORA_TEST_DATABASE") == "postgresql") {
            m_postgres = std::make_unique<PostgresCluster>();
            const QString problem = m_postgres->start(POSTGRES_BIN);
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
        for (QProcess &service : m_services) {
            service.terminate();
            service.waitForFinished();
        }
        m_services.clear();
    }

    void refusesBadInput_data()
    {
        TestSupport::addColumns<QByteArray, int>("request", "status");
        const auto row = [](const char *name, const QByteArray &request, int status) {
            QTest::newRow(name) << request << status;
        };
        // A report's head with these header lines, and one with a body of its own.
        const auto head = [](const QByteArray &lines) {
            return "POST /api/report.php HTTP/1.1\r\nHost: a\r\n" + lines + "\r\n";
        };
        const QByteArray body = QJsonDocument(report).toJson();
        const QByteArray length = "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        const QByteArray chunked = "Transfer-Encoding: chunked\r\n",
                         chunks = "2\r\n{}\r\n0\r\n\r\n";
        row("a JSON array", head("Content-Length: 2\r\n") + "[]", 400);
        row("e-mail null", post("/api/report.php", with(report, "email", QJsonValue::Null)), 400);
        row("blank text", post("/api/report.php", with(report, "text", " \n ")), 400);
        row("text over 16000", post("/api/report.php", with(report, "text", QString(16001, 'x'))),
            400);
        row("NUL in the stack",
            post("/api/crash.php", with(crash, "stack", QString("f1") + QChar(0))), 400);
        row("nonce with a line feed", post("/api/check.php", syncBody("D1", "AB\n17\n9\nforged")),
            400);
        row("unknown endpoint", post("/api/other.php", report), 404);
        // Only the head is sent: the refusal must come without the body.
        row("100 MB announced", head("Content-Length: 100000000\r\n"), 413);
        row("chunked", head(chunked) + chunks, 411);
        row("two lengths", head("Content-Length: 2\r\nContent-Length: 3\r\n") + "{}", 400);
        row("HTTP/2 preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 400);
        row("bare line feed in a header", head("X: a\nY: b\r\n" + length) + body, 400);
        row("headers over 8 KB", head("X-Pad: " + QByteArray(9000, 'x') + "\r\n"), 431);
        // What a proxy in front might read otherwise than we do.
        row("no Host", "POST /api/report.php HTTP/1.1\r\n" + length + "\r\n" + body, 400);
        row("two Hosts", head("Host: b\r\n" + length) + body, 400);
        row("Transfer-Encoding identity", head("Transfer-Encoding: identity\r\n" + length) + body,
            400);
        row("Transfer-Encoding and Content-Length", head(chunked + length) + body, 400);
        row("Transfer-Encoding twice", head(chunked + chunked) + chunks, 400);
    }

    void refusesBadInput()
    {
        QFETCH(QByteArray, request);
        QVERIFY(startService());
        QTEST(exchange(request).status, "status");
        QCOMPARE(command({"reports"}) + command({"crashes"}), "");
    }

    // Requests split anywhere between reads are stored, and what the standard lets a client
    // do is read as a proxy in front would read it. Listings page back from an id, one device
    // at a time if asked, and nothing a client sends can pass for something else on the
    // maker's terminal: a line feed in a one-line field, reordering and invisible characters
    // all show escaped.
    void storesAndLists()
    {
        QVERIFY(startService());
        // HTTP/1.0 asks to keep the connection: it is closed after the answer instead, since
        // the answer does not say it is kept.
        LoopbackClient old(m_port, 1000);
        QVERIFY(old.send(post("/api/check.php", syncBody("D1"))
                             .replace("HTTP/1.1\r\n", "HTTP/1.0\r\nConnection: keep-alive\r\n")));
        QCOMPARE(old.read().status, 200);
        QVERIFY(old.closedByPeer());
        const QString forged = QString("Debian\n\nreport 99, 2026-01-01\n  device  OTHER")
                               + QChar(0x202E) + "lmth.exe" + QChar(0x200B) + QChar(0x2028)
                               + QString::fromUcs4(U"\U000E0041", 1) + "\\u{41}   a    b"
                               + QChar(0x2800) + QChar(0xA0);
        // Four requests on one connection, after an empty line that is skipped: the first with
        // the second's head up to the middle of its blank line, and the rest once the first is
        // answered. A HEAD answer has no body, so the next answer follows its head at once.
        LoopbackClient client(m_port);
        const QByteArray first =
            "\r\n" + post("/api/report.php", with(report, "email", "ana@example.org"));
        const QByteArray requests =
            first
            + post("/api/report.php",
                   with(with(report, "text", "Deuxième\n\x1b[2J ligne"), "os", forged))
            + "HEAD /api/check.php HTTP/1.1\r\nHost: a\r\n\r\n" + post("/api/crash.php", crash);
        const qsizetype split = requests.indexOf("\r\n\r\n", first.size()) + 3;
        QVERIFY(client.send(requests.left(split)));
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(client.read().status, 200);
            QVERIFY(i > 0 || client.send(requests.mid(split)));
            QVERIFY(i != 1 || client.read(false).status == 405);
        }
        const QString reports = command({"reports"});
        QVERIFY(reports.startsWith("report 2, ") && reports.contains("report 1, "));
        QCOMPARE(reports.count("email   ana@example.org"), 1);
        QVERIFY(reports.contains("    Deuxième\n    \\u{1B}[2J ligne\n"));
        QVERIFY2(reports.contains("version 0.1.0, Debian\\u{A}\\u{A}report 99, 2026-01-01\\u{A}  "
                                  "device  OTHER\\u{202E}lmth.exe\\u{200B}\\u{2028}\\u{E0041}"
                                  "\\\\u{41}   a\\u{20}\\u{20}\\u{20}\\u{20}b\\u{2800}\\u{A0}\n"),
                 qPrintable(reports));
        QVERIFY(command({"crashes", "--stack"})
                    .contains("kind    crash\n    Signal 11\n  stack:\n    f1\n    f2\n"));

        // A record sent again (its answer lost) is answered as stored, and not stored twice.
        QCOMPARE(status("/api/crash.php", crash), 200);
        QCOMPARE(command({"crashes"}).count("crash "), 1);
        for (const QString message : {"A", "B", "A2", "B2"})
            QCOMPARE(status("/api/crash.php",
                            with(with(crash, "d", message.left(1)), "message", message)),
                     200);
        const auto ids = [&](const QStringList &arguments) {
            static const QRegularExpression entry("^crash (\\d+), ",
                                                  QRegularExpression::MultilineOption);
            QList<int> found;
            for (const auto &match : entry.globalMatch(command(QStringList{"crashes"} + arguments)))
                found << match.captured(1).toInt();
            return found;
        };
        QCOMPARE(ids({"--limit", "2"}), QList<int>({5, 4}));
        QCOMPARE(ids({"--limit", "2", "--before", "4"}), QList<int>({3, 2}));
        QCOMPARE(ids({"--device", "B"}), QList<int>({5, 3}));
        QCOMPARE(ids({"--device", "A", "--before", "4"}), QList<int>({2}));
    }

    // What one address may store in a day, and all together; purge takes the old records
    // away.
    void keepsToTheStorageBudget()
    {
        // Reports of a little over 600 bytes each, each one different.
        int serial = 0;
        const auto big = [&](const QByteArray &address) {
            return status("/api/report.php",
                          with(report, "text", QString(500, 'x') + QString::number(++serial)),
                          address);
        };
        QVERIFY(startService({"--proxy", "--address-budget", "2000", "--storage-budget", "12000",
                              "--limit-device", "0"}));
        QList<int> statuses;
        for (int i = 0; i < 4; ++i)
            statuses << big("192.0.2.1");
        // A new device's row is stored data too.
        const QJsonObject newDevice = with(syncBody("NEW"), "os", QString(200, 'o'));
        statuses << status("/api/check.php", newDevice, "192.0.2.1") << big("192.0.2.2");
        QCOMPARE(statuses, QList<int>({200, 200, 200, 429, 429, 200}));
        QCOMPARE(command({"reports"}).count("report "), 4);

        // The /64s of one IPv6 /48 have a budget of their own each, and four times that
        // together; other addresses store on until the whole budget is spent.
        statuses.clear();
        for (int i = 0; i < 32; ++i)
            statuses << big(QByteArray("2001:db8:7:") + QByteArray::number(i / 2) + "::1");
        QCOMPARE(statuses.count(200), 13);
        QCOMPARE(big("192.0.2.6"), 200);
        int full = 0;
        for (int i = 10; i < 30 && full != 507; ++i)
            full = big("192.0.2." + QByteArray::number(i));
        QCOMPARE(full, 507);

        // Everything was received before the next second: purges of what is older than 0
        // days take it all away then, give its budget back and its room on the disk.
        const auto bytesOnDisk = [&] {
            return QFileInfo(m_database).size() + QFileInfo(m_database + "-wal").size();
        };
        const qint64 before = bytesOnDisk();
        QTRY_VERIFY_WITH_TIMEOUT(command({"purge", "--older-than", "0"}).startsWith("purged ")
                                     && command({"reports"}) + command({"crashes"}) == "",
                                 10000);
        QVERIFY2(m_postgres || bytesOnDisk() < before / 2,
                 qPrintable(QString("%1 -> %2").arg(before).arg(bytesOnDisk())));
        QCOMPARE(big("192.0.2.7"), 200);
    }

    // Records at once from one address, through two processes on one database: the budget
    // holds all the same.
    void keepsToTheBudgetAcrossProcesses()
    {
        const QStringList limits =
            QString("--proxy --limit-device 0 --limit-address 0 --address-budget 1000 --threads 16")
                .split(u' ');
        QVERIFY(startService(limits));
        const int otherPort = m_port;
        QVERIFY(startService(limits));
        std::vector<std::unique_ptr<LoopbackClient>> clients;
        for (int i = 0; i < 64; ++i)
            clients.push_back(std::make_unique<LoopbackClient>(i % 2 ? otherPort : m_port));
        // Syncs from elsewhere first, so that every worker has its connection open.
        for (const auto &client : clients)
            QVERIFY(client->send(post("/api/check.php", syncBody("W"), "192.0.2.2")));
        for (const auto &client : clients)
            QCOMPARE(client->read().status, 200);
        for (int i = 0; i < 64; ++i) {
            const QJsonObject body =
                with(with(report, "d", QString::number(i)), "text", QString(500, 'x'));
            QVERIFY(clients[std::size_t(i)]->send(post("/api/report.php", body, "192.0.2.1")));
        }
        // About 600 bytes each: one fits.
        const auto stored = [](const auto &client) { return client->read().status == 200; };
        QCOMPARE(std::ranges::count_if(clients, stored), 1);
        QCOMPARE(command({"reports"}).count("report "), 1);
    }

    void deliversMessagesInOrder()
    {
        QVERIFY(startService({"--repeats", "2"}));
        QCOMPARE(sync("A"), std::make_pair(qint64(0), QString()));
        QCOMPARE(sync("B").first, 0);
        QVERIFY(command({"answer", "--device", "A", "--text", "Première"}).startsWith("message "));
        QVERIFY(command({"answer", "--device", "A", "--text", "Deuxième"}).startsWith("message "));
        QVERIFY(command({"broadcast", "--text", "Pour tous"}).startsWith("message "));
        // Bad texts are refused before they are stored.
        QVERIFY(command({"broadcast", "--text", " \n"}).startsWith("failed: "));
        QVERIFY(command({"answer", "--device", "A", "--text", "bip\a"}).startsWith("failed: "));

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

    // A flood of made-up keys does not make the limiter forget a key that spent its all.
    void rateLimiterKeepsSpentKeys()
    {
        RateLimiter limiter(3, 100);
        const auto now = RateLimiter::Clock::now();
        for (int i = 0; i < 3; ++i)
            QVERIFY(limiter.allow("device", now));
        QVERIFY(!limiter.allow("device", now));
        for (int i = 0; i < 1000; ++i)
            QVERIFY(limiter.allow("made-up " + std::to_string(i), now));
        QVERIFY(!limiter.allow("device", now));
        QVERIFY(limiter.allow("device", now + std::chrono::seconds(20)));
    }

    // Requests are limited per device and per address, crash records without a device id by
    // address alone; an X-Real-IP that is no address counts as the proxy's own. A client
    // that streams requests answered 429 (its device is over its limit) without reading a
    // word of them is closed after a few, and another address is served meanwhile.
    void limitsRates()
    {
        QVERIFY(startService(
            {"--limit-device", "3", "--limit-address", "6", "--limit-unknown", "2", "--proxy"}));
        QList<int> statuses;
        for (const char *device : {"X", "X", "X", "X", "Y", "Y", "Y"})
            statuses << status("/api/check.php", syncBody(device), "192.0.2.1");
        for (const char *address : {"192.0.2.4", "192.0.2.4", "192.0.2.4", "192.0.2.5"})
            statuses << status("/api/crash.php", with(crash, "d", "?"), address);
        QCOMPARE(statuses, QList<int>({200, 200, 200, 429, 200, 200, 429, 200, 200, 429, 200}));
        for (int i = 0; i < 7; ++i)
            statuses << status("/api/check.php", syncBody(QString::number(i)),
                               "forged " + QByteArray::number(i));
        QCOMPARE(statuses.last(), 429);

        LoopbackClient attacker(m_port);
        QVERIFY(attacker.send(post("/api/check.php", syncBody("X"), "192.0.2.66").repeated(200)));
        int refused = 0;
        while (attacker.read().status == 429)
            ++refused;
        QVERIFY2(refused > 0 && refused < 50, qPrintable(QString::number(refused)));
        QCOMPARE(status("/api/check.php", syncBody("Z"), "192.0.2.7"), 200);
    }

    // An idle client is closed, and so is one that trickles its head byte by byte.
    void closesSlowAndIdleConnections()
    {
        QVERIFY(startService({"--timeout", "1"}));
        LoopbackClient idle(m_port), slow(m_port, 100);
        const QByteArray head = post("/api/check.php", syncBody("D2"));
        bool closed = false;
        for (qsizetype i = 0; i < 50 && !closed; ++i)
            closed = !slow.send(head.mid(i, 1)) || slow.closedByPeer();
        QVERIFY(closed && idle.closedByPeer());
    }

    // Connections held open from many addresses cannot lock everyone out: the ones that
    // have waited longest make room; and the bytes of unfinished requests are bounded, for
    // one address to its share.
    void makesRoomWhenFull()
    {
        QVERIFY(startService({"--max-connections", "20", "--max-address-connections", "0",
                              "--max-unfinished-bytes", "1000000"}));
        std::vector<std::unique_ptr<LoopbackClient>> held;
        for (int i = 0; i < 20; ++i)
            held.push_back(std::make_unique<LoopbackClient>(m_port, 1000));
        QCOMPARE(sync("D1").first, 0);
        QVERIFY(held.front()->closedByPeer());
        held.clear();

        // Bodies that never end from one address: whichever of the three comes last would
        // take its held bytes past its share (one whole request), and is refused.
        const QByteArray head = "POST /api/report.php HTTP/1.1\r\nHost: a\r\n"
                                "Content-Length: 60000\r\n\r\n";
        for (int i = 0; i < 3; ++i) {
            held.push_back(std::make_unique<LoopbackClient>(m_port, 10));
            QVERIFY(held.back()->send(head + QByteArray(45000, ' ')));
        }
        const auto refused = [](const auto &client) { return client->read().status == 503; };
        QVERIFY(QTest::qWaitFor([&] { return std::ranges::any_of(held, refused); }, 5000));
        held.clear();
        QVERIFY(QTest::qWaitFor([&] { return sync("D1").first == 0; }, 5000));
    }

    // A database that does not answer holds no client for long: a request that waits for
    // a busy worker is answered 503, and the service does not wait on a server that takes
    // connections and says nothing.
    void doesNotHangOnTheDatabase()
    {
        // The silent server stands for PostgreSQL in either run, and the lock is SQLite's.
        if (m_postgres)
            QSKIP("run with SQLite");
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        silent.pauseAccepting();
        const auto hung = TestSupport::run(
            SERVICE_PATH,
            {"serve", "--key", m_key, "--db-timeout", "1", "--db",
             QString("postgresql://tachora@127.0.0.1:%1/none").arg(silent.serverPort())});
        QCOMPARE(hung.status, 1);

        QVERIFY(startService({"--threads", "1", "--queue-timeout", "1"}));
        sqlite3 *other = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(m_database).constData(), &other), SQLITE_OK);
        const auto closeOther = qScopeGuard([&] { sqlite3_close(other); });
        QCOMPARE(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        // The first report holds the one worker, waiting for the lock; the second waits for
        // the worker and is answered 503 long before the lock's time-out.
        LoopbackClient first(m_port), second(m_port);
        QVERIFY(first.send(post("/api/report.php", report)));
        QVERIFY(second.send(post("/api/report.php", report)));
        QCOMPARE(second.read().status, 503);
    }

    // An outage is logged once a second at most, with the count of the failures left out.
    void logsAnOutageSparingly()
    {
        std::ostringstream out;
        FailureLog log(out);
        for (const int ms : {0, 10, 999, 1000, 1500, 2100})
            log.add("down " + std::to_string(ms),
                    FailureLog::Clock::time_point() + std::chrono::milliseconds(ms));
        QCOMPARE(out.str(), "tachora-service: down 0\n"
                            "tachora-service: down 1000 (and 2 failures not shown since the"
                            " previous line)\n"
                            "tachora-service: down 2100 (and 1 failures not shown since the"
                            " previous line)\n");
    }

    // What goes wrong is said as it is: a key that is no regular file is refused at once
    // (a FIFO would hold the start-up); a full disk is logged as such, not as the rollback
    // that came after.
    void saysWhatWentWrong()
    {
        const QString fifo = m_dir.filePath("fifo.key");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const auto refused =
            TestSupport::run(SERVICE_PATH, {"serve", "--key", fifo, "--db", m_database});
        QVERIFY2(refused.status == 1 && refused.err.contains("not a regular file"), refused.err);

        if (m_postgres)
            QSKIP("the full disk below is the SQLite file's");
        QCOMPARE(command({"reports"}), "");
        QProcess service;
        service.setChildProcessModifier([] {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit size{256 * 1024, 256 * 1024};
            ::setrlimit(RLIMIT_FSIZE, &size);
        });
        service.start(SERVICE_PATH, {"serve", "--key", m_key, "--listen", "127.0.0.1:0", "--db",
                                     m_database, "--limit-device", "0"});
        QVERIFY(service.waitForReadyRead(20000) && service.canReadLine());
        m_port = service.readLine().mid(5).trimmed().toInt();
        int answer = 200;
        for (int i = 0; i < 50 && answer == 200; ++i)
            answer = status("/api/report.php",
                            with(report, "text", QString(15000, 'x') + QString::number(i)));
        QCOMPARE(answer, 503);
        service.terminate();
        QVERIFY(service.waitForFinished());
        const QByteArray log = service.readAllStandardError();
        QVERIFY2(log.contains("disk") && !log.contains("rollback"), log);
    }

    // An IPv6 client may hold a whole /48: its connections are counted together too.
    void limitsConnectionsPerNetwork()
    {
        if (!QTcpServer().listen(QHostAddress::LocalHostIPv6))
            QSKIP("no IPv6 loopback here");
        QVERIFY(startService({"--listen", "[::1]:0", "--max-address-connections", "0",
                              "--max-network-connections", "2"}));
        QTcpSocket held[3];
        for (QTcpSocket &socket : held) {
            socket.connectToHost(QHostAddress::LocalHostIPv6, quint16(m_port));
            QVERIFY(socket.waitForConnected(5000));
        }
        QVERIFY(held[2].waitForDisconnected(5000));
        QCOMPARE(held[0].state(), QAbstractSocket::ConnectedState);
    }

    // One address cannot use up the service's connections: past its share, a connection is
    // closed at once, and the share comes back as they close. Clients turned away may
    // reconnect as fast as they are closed: the service still comes back to the connections
    // it holds between taking new ones.
    void servesBetweenAccepting()
    {
        QVERIFY(startService({"--max-address-connections", "1"}));
        auto held = std::make_unique<LoopbackClient>(m_port);
        QVERIFY(held->send(post("/api/check.php", syncBody("D1"))));
        QCOMPARE(held->read().status, 200);
        // While the service is stopped, the listen queue fills with connections past the
        // share, and the held connection gets a request answered without a worker.
        const pid_t service = pid_t(m_services.back().processId());
        QCOMPARE(::kill(service, SIGSTOP), 0);
        // Closing the queued connections takes the service's main thread, which takes and
        // answers them, tens of milliseconds. Run only when nothing else wants the processor
        // this thread runs on, and held to it, it stops as soon as the held connection's
        // answer wakes the test, which then looks without blocking: otherwise an idle second
        // processor, or a blocking look, lets it through them before the test looks.
        const sched_param none{};
        cpu_set_t all, here;
        QCOMPARE(::sched_getaffinity(0, sizeof all, &all), 0);
        CPU_ZERO(&here);
        CPU_SET(::sched_getcpu(), &here);
        QVERIFY(::sched_setaffinity(0, sizeof here, &here) == 0
                && ::sched_setaffinity(service, sizeof here, &here) == 0);
        const auto unpin = qScopeGuard([&] { ::sched_setaffinity(0, sizeof all, &all); });
        QCOMPARE(::sched_setscheduler(service, SCHED_IDLE, &none), 0);
        const auto resume = qScopeGuard([&] { ::kill(service, SIGCONT); });
        std::vector<std::unique_ptr<LoopbackClient>> queued;
        for (int i = 0; i < 2000; ++i)
            queued.push_back(std::make_unique<LoopbackClient>(m_port, 1));
        QVERIFY(held->send("GET / HTTP/1.1\r\n\r\n"));
        ::kill(service, SIGCONT);
        QCOMPARE(held->read().status, 400);
        // Connections are taken in the order they came: the last one is still waiting.
        QVERIFY(queued.back()->openNow());
        // The rest may take their time, but not what busy processors leave an idle one.
        QCOMPARE(::sched_setscheduler(service, SCHED_OTHER, &none), 0);
        const auto closed = [](const auto &client) { return client->closedByPeer(); };
        QTRY_VERIFY_WITH_TIMEOUT(std::ranges::all_of(queued, closed), 10000);
        held.reset();
        QVERIFY(QTest::qWaitFor([&] { return sync("D1").first == 0; }, 5000));
    }

    // The proxy set-up the README ships: TLS and HTTP/2 in front, the client's address passed
    // on, the body limit held at the proxy too.
    void behindNginx()
    {
        if (m_postgres)
            QSKIP("the proxy does not depend on the database");
#ifndef NGINX_PATH
        QSKIP("nginx is not installed");
#else
        QVERIFY(startService({"--proxy"}));
        QVERIFY(TestSupport::makeCertificate(m_dir.path()));
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
        const QString config = m_dir.filePath("nginx.conf");
        QVERIFY(TestSupport::writeFile(
            config, QString("%1worker_processes 1;\npid %2/nginx.pid;\nevents {}\nhttp {\n"
                            "access_log off;\nclient_body_temp_path %2/body;\n"
                            "proxy_temp_path %2/proxy;\n%3}\n")
                        .arg(geteuid() == 0 ? "user root;\n" : "", m_dir.path(), snippet)
                        .toUtf8()));
        const QStringList nginx = {"-c", config, "-e", m_dir.filePath("error.log")};
        QCOMPARE(TestSupport::run(NGINX_PATH, nginx).status, 0);
        const auto stopNginx = qScopeGuard([&] {
            TestSupport::run(NGINX_PATH, nginx + QStringList{"-s", "stop"});
        });

        HttpSession https({HttpVersion::http2, m_dir.filePath("cert.pem")});
        const auto status = [&](const char *path, const QByteArray &body) {
            const QString url = QString("https://127.0.0.1:%1%2").arg(port).arg(path);
            return QCoro::waitFor(https.perform({"POST", url.toUtf8(), 10s, body})).status;
        };
        QCOMPARE(status("/api/report.php", QJsonDocument(report).toJson()), 200);
        QCOMPARE(status("/api/report.php", QByteArray(100000, ' ')), 413);
        QCOMPARE(status("/api/check.php", QJsonDocument(syncBody("D1")).toJson()), 200);
        QVERIFY(command({"reports"}).contains("Le test s'arrête."));
#endif
    }
};

TACHORA_TEST_CORE_MAIN(TestService)
#include "tst_service.moc"
