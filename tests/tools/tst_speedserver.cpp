#include "TestSupport.h"

#include "ServerOptions.h"

#include <QElapsedTimer>
#include <QProcess>

#include <curl/curl.h>

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

} // namespace

class TestSpeedServer : public QObject
{
    Q_OBJECT

    QProcess m_server;
    QString m_origin;

    bool startServer(const QStringList &arguments)
    {
        m_server.kill();
        m_server.waitForFinished();
        m_server.start(QStringLiteral(SPEEDSERVER_PATH), arguments);
        if (!m_server.waitForStarted() || !m_server.waitForReadyRead(5000))
            return false;
        const QByteArray line = m_server.readLine().trimmed();
        if (!line.startsWith("port "))
            return false;
        m_origin = QStringLiteral("http://127.0.0.1:") + QString::fromLatin1(line.mid(5));
        return true;
    }

private slots:
    void initTestCase() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    void cleanup()
    {
        m_server.kill();
        m_server.waitForFinished();
    }

    void parsesFaults_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("target");
        QTest::addColumn<qint64>("count");
        QTest::newRow("status") << "status=503" << true << int(Fault::Kind::status)
                                << int(Target::any) << -1LL;
        QTest::newRow("targeted, counted")
            << "close-after=0@down#1" << true << int(Fault::Kind::closeAfter) << int(Target::down)
            << 1LL;
        QTest::newRow("stall on uploads")
            << "stall@up" << true << int(Fault::Kind::stall) << int(Target::up) << -1LL;
        QTest::newRow("refuse") << "refuse" << true << int(Fault::Kind::refuse) << int(Target::any)
                                << -1LL;
        QTest::newRow("unknown kind") << "explode" << false << 0 << 0 << 0LL;
        QTest::newRow("unknown target") << "stall@get" << false << 0 << 0 << 0LL;
        QTest::newRow("status out of range") << "status=42" << false << 0 << 0 << 0LL;
        QTest::newRow("missing bytes") << "close-after=" << false << 0 << 0 << 0LL;
        QTest::newRow("negative count") << "stall#-1" << false << 0 << 0 << 0LL;
        QTest::newRow("value on stall") << "stall=1" << false << 0 << 0 << 0LL;
    }

    void parsesFaults()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        const auto fault = parseFault(text.toStdString());
        QCOMPARE(fault.has_value(), valid);
        if (!valid)
            return;
        QFETCH(int, kind);
        QFETCH(int, target);
        QFETCH(qint64, count);
        QCOMPARE(int(fault->kind), kind);
        QCOMPARE(int(fault->target), target);
        QCOMPARE(fault->count, count);
    }

    void rejectsBadArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("port out of range") << QStringList{"--port", "70000"};
        QTest::newRow("cert without key") << QStringList{"--cert", "c.pem"};
        QTest::newRow("missing value") << QStringList{"--delay"};
        QTest::newRow("unknown option") << QStringList{"--fast"};
        QTest::newRow("bad rate") << QStringList{"--down-rate", "1M"};
    }

    void rejectsBadArguments()
    {
        QFETCH(QStringList, arguments);
        std::vector<std::string> list;
        for (const QString &argument : arguments)
            list.push_back(argument.toStdString());
        std::string error;
        bool help = false;
        QVERIFY(!parseArguments(list, error, help));
        QVERIFY(!error.empty());
    }

    void answersTheThreeRequestForms()
    {
        QVERIFY(startServer({"--log"}));
        const Answer head = request(m_origin + "/__down?bytes=0", "HEAD");
        QCOMPARE(head.code, CURLE_OK);
        QCOMPARE(head.status, 200L);
        const Answer down = request(m_origin + "/__down?measId=7&bytes=1234567", "GET");
        QCOMPARE(down.code, CURLE_OK);
        QCOMPARE(down.bodyBytes, 1234567);
        const Answer up = request(m_origin + "/__up", "POST", 3'000'000);
        QCOMPARE(up.code, CURLE_OK);
        QCOMPARE(up.status, 200L);
        QCOMPARE(request(m_origin + "/elsewhere", "GET").status, 404L);
        QCOMPARE(request(m_origin + "/__down?bytes=-1", "GET").status, 400L);

        QTRY_COMPARE_WITH_TIMEOUT(
            m_server.bytesAvailable() > 0 && m_server.peek(4096).count('\n') >= 5, true, 5000);
        QCOMPARE(m_server.readLine().trimmed(), QByteArray("HEAD /__down?bytes=0"));
        QCOMPARE(m_server.readLine().trimmed(), QByteArray("GET /__down?measId=7&bytes=1234567"));
        QCOMPARE(m_server.readLine().trimmed(), QByteArray("POST /__up"));
    }

    void faultsApplyToTheirTargetAndCount()
    {
        QVERIFY(startServer({"--fault", "status=503@head#1", "--fault", "close-after=0@head#1",
                             "--fault", "close-after=1000@down"}));
        QCOMPARE(request(m_origin + "/__down?bytes=0", "HEAD").status, 503L);
        QCOMPARE(request(m_origin + "/__down?bytes=0", "HEAD").code, CURLE_GOT_NOTHING);
        QCOMPARE(request(m_origin + "/__down?bytes=0", "HEAD").status, 200L);
        const Answer cut = request(m_origin + "/__down?bytes=50000", "GET");
        QCOMPARE(cut.code, CURLE_PARTIAL_FILE);
        QCOMPARE(cut.bodyBytes, 1000);
        QCOMPARE(request(m_origin + "/__up", "POST", 10).status, 200L);
    }

    void refusesConnections()
    {
        QVERIFY(startServer({"--fault", "refuse"}));
        QCOMPARE(request(m_origin + "/__down?bytes=0", "HEAD").code, CURLE_COULDNT_CONNECT);
    }

    void downloadRateIsLimited()
    {
        QVERIFY(startServer({"--down-rate", "400000"}));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(request(m_origin + "/__down?bytes=200000", "GET").bodyBytes, 200000);
        // Half a second at the limit; the lower bound is the rule, not a speed goal.
        QVERIFY2(timer.elapsed() >= 450, qPrintable(QString::number(timer.elapsed())));
    }
};

TACHORA_TEST_CORE_MAIN(TestSpeedServer)
#include "tst_speedserver.moc"
