#include "TestSupport.h"

#include "ServerOptions.h"
#include "SpeedServerProcess.h"

#include <QElapsedTimer>

#include <curl/curl.h>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

using namespace speedserver;

namespace {

struct Answer
{
    CURLcode code = CURLE_OK;
    long status = 0;
    qint64 bodyBytes = 0;
};

// One request with curl, the way the engine makes them.
Answer request(const QString &url, const char *method, qint64 uploadBytes = 0)
{
    Answer answer;
    CURL *curl = curl_easy_init();
    const QByteArray urlBytes = url.toUtf8();
    const QByteArray body(uploadBytes, 'x');
    curl_easy_setopt(curl, CURLOPT_URL, urlBytes.constData());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
    curl_slist *headers = curl_slist_append(nullptr, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (qstrcmp(method, "HEAD") == 0) {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (qstrcmp(method, "POST") == 0) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.bodyBytes);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char *, size_t, size_t n, void *count) {
            *static_cast<qint64 *>(count) += qint64(n);
            return n;
        });
    answer.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return answer;
}

// A connection to the port that says nothing; -1 when it could not be made.
int idleConnection(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
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

    std::unique_ptr<SpeedServerProcess> m_server;

    QString startServer(const QStringList &arguments)
    {
        m_server = std::make_unique<SpeedServerProcess>();
        return m_server->start(arguments) ? m_server->origin() : QString();
    }

private slots:
    void initTestCase() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    void cleanup() { m_server.reset(); }

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

    void answersTheThreeRequestForms()
    {
        const QString origin = startServer({});
        QVERIFY(!origin.isEmpty());
        const Answer head = request(origin + "/__down?bytes=0", "HEAD");
        QCOMPARE(head.code, CURLE_OK);
        QCOMPARE(head.status, 200L);
        const Answer down = request(origin + "/__down?measId=7&bytes=1234567", "GET");
        QCOMPARE(down.code, CURLE_OK);
        QCOMPARE(down.bodyBytes, 1234567);
        const Answer up = request(origin + "/__up", "POST", 3'000'000);
        QCOMPARE(up.code, CURLE_OK);
        QCOMPARE(up.status, 200L);
        QCOMPARE(request(origin + "/elsewhere", "GET").status, 404L);
        QCOMPARE(request(origin + "/__down?bytes=-1", "GET").status, 400L);

        const SpeedServerProcess::Log log = m_server->stop();
        QCOMPARE(log.requests.mid(0, 3),
                 (QStringList{"HEAD /__down?bytes=0", "GET /__down?measId=7&bytes=1234567",
                              "POST /__up"}));
        QCOMPARE(log.down, 1234567);
        QCOMPARE(log.up, 3'000'000);
    }

    void faultsApplyToTheirTargetAndCount()
    {
        const QString origin =
            startServer({"--fault", "status=503@head#1", "--fault", "close-after=0@head#1",
                         "--fault", "close-after=1000@down"});
        QVERIFY(!origin.isEmpty());
        QCOMPARE(request(origin + "/__down?bytes=0", "HEAD").status, 503L);
        QCOMPARE(request(origin + "/__down?bytes=0", "HEAD").code, CURLE_GOT_NOTHING);
        QCOMPARE(request(origin + "/__down?bytes=0", "HEAD").status, 200L);
        const Answer cut = request(origin + "/__down?bytes=50000", "GET");
        QCOMPARE(cut.code, CURLE_PARTIAL_FILE);
        QCOMPARE(cut.bodyBytes, 1000);
        QCOMPARE(request(origin + "/__up", "POST", 10).status, 200L);
    }

    void refusesConnections()
    {
        const QString origin = startServer({"--fault", "refuse"});
        QVERIFY(!origin.isEmpty());
        QCOMPARE(request(origin + "/__down?bytes=0", "HEAD").code, CURLE_COULDNT_CONNECT);
    }

    void boundsItsConnections()
    {
        const QString origin = startServer({"--max-connections", "50", "--idle-timeout", "500"});
        QVERIFY(!origin.isEmpty());
        const qint64 pid = m_server->processId();
        const qint64 residentBefore = processStatus(pid, "VmRSS:");
        std::vector<int> idle;
        for (int i = 0; i < 50; ++i)
            idle.push_back(idleConnection(quint16(QUrl(origin).port())));
        QTRY_COMPARE(processStatus(pid, "Threads:"), 52);
        // An idle connection holds no buffer of its own.
        const qint64 grownKb = processStatus(pid, "VmRSS:") - residentBefore;
        // Past the limit a connection waits until the idle ones are closed.
        QElapsedTimer timer;
        timer.start();
        const Answer waited = request(origin + "/__down?bytes=10", "GET");
        const qint64 waitedMs = timer.elapsed();
        char byte = 0;
        const ssize_t read = ::recv(idle.front(), &byte, 1, 0);
        for (int fd : idle)
            ::close(fd);
        QVERIFY2(grownKb < 16 * 1024, qPrintable(QString::number(grownKb)));
        QCOMPARE(waited.bodyBytes, 10);
        QVERIFY2(waitedMs >= 400, qPrintable(QString::number(waitedMs)));
        QCOMPARE(read, 0);
    }

    void downloadRateIsLimited()
    {
        const QString origin = startServer({"--down-rate", "400000"});
        QVERIFY(!origin.isEmpty());
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(request(origin + "/__down?bytes=200000", "GET").bodyBytes, 200000);
        // Half a second at the limit; the lower bound is the rule, not a speed goal.
        QVERIFY2(timer.elapsed() >= 450, qPrintable(QString::number(timer.elapsed())));
    }
};

TACHORA_TEST_CORE_MAIN(TestSpeedServer)
#include "tst_speedserver.moc"
