#include "TestSupport.h"

#include "diagnostics/CrashReporter.h"
#include "platform/BuildConfig.h"
#include "platform/PreferencesStore.h"
#include "platform/SystemInfo.h"
#include "settings/PreferenceKeys.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <csignal>
#include <memory>

namespace {

// The maker's service as far as crash records go: it keeps every request it receives.
class FakeService : public QObject
{
public:
    FakeService()
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, &FakeService::accept);
    }

    QString origin() const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
    }

    QList<QByteArray> requestLines;
    QList<QJsonObject> records;

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
                *buffer += socket->readAll();
                const qsizetype headEnd = buffer->indexOf("\r\n\r\n");
                const qsizetype lengthAt = buffer->toLower().indexOf("content-length:");
                if (headEnd < 0 || lengthAt < 0)
                    return;
                const qsizetype lineEnd = buffer->indexOf("\r\n", lengthAt);
                const int length =
                    buffer->mid(lengthAt + 15, lineEnd - lengthAt - 15).trimmed().toInt();
                if (buffer->size() < headEnd + 4 + length)
                    return;
                requestLines.append(buffer->left(buffer->indexOf("\r\n")));
                records.append(QJsonDocument::fromJson(buffer->mid(headEnd + 4, length)).object());
                socket->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                socket->disconnectFromHost();
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    QTcpServer m_server;
};

// The six members, every one a string.
bool isRecord(const QJsonObject &record)
{
    const QStringList keys{"d", "kind", "message", "os", "stack", "v"};
    return record.keys() == keys
           && std::all_of(record.begin(), record.end(),
                          [](const auto &value) { return value.isString(); });
}

bool uploadsSettle()
{
    return QTest::qWaitFor([] { return CrashReporter::uploadsRunning() == 0; }, 10000);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content, const QDateTime &modified = {})
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.flush();
    if (modified.isValid())
        QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
}

// A file modification time as the file system keeps it, with a fraction of a second.
const QDateTime markTime(QDate(2025, 1, 2), QTime(10, 0, 0, 250), Qt::UTC);

struct ReportFile
{
    QString name;
    qint64 secondsAfterMark = 0;
    QByteArray content;
};

// Reports from deeper than the 15 frames a report keeps.
[[gnu::noinline]] int reportErrorFromDepth(int depth)
{
    if (depth == 0) {
        CrashReporter::reportError("oops");
        return 0;
    }
    volatile int afterTheCall = depth;
    return reportErrorFromDepth(depth - 1) + afterTheCall;
}

} // namespace

Q_DECLARE_METATYPE(QList<ReportFile>)

class TestDiagnostics : public QObject
{
    Q_OBJECT

    FakeService m_service;
    QTemporaryDir m_dataFolder;
    // The name apport gives reports on this very program.
    QString m_ours = QCoreApplication::applicationFilePath().replace(u'/', u'_');

private slots:
    void init()
    {
        CrashReporter::setServiceOrigin(m_service.origin());
        CrashReporter::setDataFolder(m_dataFolder.path());
        CrashReporter::setSystemReportFolder(QString());
        PreferencesStore::shared().remove(PreferenceKeys::deviceId);
        PreferencesStore::shared().remove(PreferenceKeys::lastCrashScan);
        m_service.records.clear();
        m_service.requestLines.clear();
    }

    void crashLeavesOneRecordForTheNextLaunch_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("message");
        // The innermost function of the helper's own, which the record must name.
        QTest::addColumn<QString>("function");
        const QString signal = QStringLiteral("Signal %1");
        QTest::newRow("SIGABRT") << "SIGABRT" << SIGABRT << signal.arg(SIGABRT)
                                 << "crashHelperAbort";
        for (const auto &[how, number] : {std::pair{"SIGSEGV", SIGSEGV},
                                          {"SIGILL", SIGILL},
                                          {"SIGBUS", SIGBUS},
                                          {"SIGFPE", SIGFPE},
                                          {"SIGTRAP", SIGTRAP}})
            QTest::newRow(how) << how << number << signal.arg(number) << "crashHelperFault";
        QTest::newRow("overflow") << "overflow" << SIGSEGV << signal.arg(SIGSEGV)
                                  << "crashHelperRecurse";
        // The abort() that follows leaves the exception's record alone.
        QTest::newRow("exception")
            << "exception" << SIGABRT << "Exception: std::runtime_error : disk on fire"
            << "crashHelperThrow";
        QTest::newRow("exception without text") << "exception-int" << SIGABRT << "Exception: int : "
                                                << "crashHelperThrow";
    }

    void crashLeavesOneRecordForTheNextLaunch()
    {
        QFETCH(QString, how);
        QFETCH(int, signal);
        QFETCH(QString, message);
        QFETCH(QString, function);
        QProcess helper;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // A sanitizer build leaves these to AddressSanitizer unless it hands them back.
        environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS")
                                               + ":handle_segv=0:handle_sigbus=0:handle_sigfpe=0");
        helper.setProcessEnvironment(environment);
        helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        helper.start(CRASH_HELPER_PATH, {m_dataFolder.path(), how});
        QVERIFY(helper.waitForFinished(30000));
        QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
        QCOMPARE(helper.exitCode(), signal);

        const QString pending = CrashReporter::pendingFilePath();
        const QStringList pieces =
            QString::fromUtf8(readAll(pending)).split(QStringLiteral("\n---\n"));
        QCOMPARE(pieces.size(), 2);
        QCOMPARE(pieces[0], message);
        const QString stack = pieces[1];
        const QStringList frames = stack.split(u'\n');
        QVERIFY(frames.size() <= 30);
        QVERIFY(how != "overflow" || frames.size() == 30);
        QVERIFY(!frames.contains(QString()));
        // Innermost first, with names.
        const auto lineOf = [&](const QString &name) {
            const QRegularExpression symbol(QStringLiteral("\\((_Z\\d+)?%1[^)]*\\+0x").arg(name));
            for (qsizetype i = 0; i < frames.size(); ++i) {
                if (frames[i].contains(symbol))
                    return i;
            }
            return qsizetype(30);
        };
        QVERIFY2(lineOf(function) < 30, qPrintable(stack));
        QVERIFY(how == "overflow" || lineOf(function) < lineOf("main"));

        CrashReporter::install();
        QVERIFY(!QFile::exists(pending));
        QVERIFY(uploadsSettle());
        QCOMPARE(m_service.requestLines, QList<QByteArray>{"POST /api/crash.php HTTP/1.1"});
        QCOMPARE(m_service.records.size(), 1);
        const QJsonObject record = m_service.records[0];
        QVERIFY(isRecord(record));
        QCOMPARE(record["kind"].toString(), "crash");
        QCOMPARE(record["message"].toString(), message);
        QCOMPARE(record["stack"].toString(), stack);
    }

    void pendingFileIsSentOnceAsItReads_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("deviceId");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("stack");
        QTest::newRow("no separator") << QByteArray("Signal 11") << ""
                                      << "Signal 11"
                                      << "";
        QTest::newRow("empty") << QByteArray() << ""
                               << ""
                               << "";
        QTest::newRow("further pieces dropped") << QByteArray("Signal 6\n---\na\nb\n---\nc") << ""
                                                << "Signal 6"
                                                << "a\nb";
        QTest::newRow("device id") << QByteArray("m\n---\ns") << "4F1C"
                                   << "m"
                                   << "s";
        QTest::newRow("not UTF-8") << QByteArray("Exception: caf\xe9 : x\n---\ns") << ""
                                   << "Exception: caf\uFFFD : x"
                                   << "s";
    }

    void pendingFileIsSentOnceAsItReads()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, deviceId);
        QFETCH(QString, message);
        QFETCH(QString, stack);
        if (!deviceId.isEmpty())
            PreferencesStore::shared().setString(PreferenceKeys::deviceId, deviceId);
        writeFile(CrashReporter::pendingFilePath(), content);

        CrashReporter::install();
        QVERIFY(!QFile::exists(CrashReporter::pendingFilePath()));
        CrashReporter::install();
        QVERIFY(uploadsSettle());
        QCOMPARE(m_service.records.size(), 1);
        const QJsonObject record = m_service.records[0];
        QVERIFY(isRecord(record));
        QCOMPARE(record["d"].toString(), deviceId.isEmpty() ? "?" : deviceId);
        QCOMPARE(record["message"].toString(), message);
        QCOMPARE(record["stack"].toString(), stack);
        QCOMPARE(record["v"].toString(), BuildConfig::version);
        QCOMPARE(record["os"].toString(), SystemInfo::osText());
    }

    void systemReportsNewSinceTheMark_data()
    {
        QTest::addColumn<QList<ReportFile>>("files");
        QTest::addColumn<QDateTime>("mark");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QDateTime>("newMark");
        const QString ours = m_ours;
        QTest::newRow("first scan, only our reports")
            << QList<ReportFile>{{ours + ".1000.crash", 0, "ProblemType: Crash\nTitle: t\n"},
                                 {ours + ".crash", 0, "Title: no number"},
                                 {ours + ".1000.upload", 0, "Title: marker"},
                                 {ours + ".1000.CRASH", 0, "Title: upper case"},
                                 {ours + "-cli.1000.crash", 0, "Title: another program"},
                                 {"_usr_bin_other.1000.crash", 0, "Title: other"}}
            << QDateTime() << QStringList{"Title: t"} << markTime;
        QTest::newRow("equal to the mark")
            << QList<ReportFile>{{ours + ".1000.crash", 0, "Title: t"}} << markTime << QStringList()
            << markTime;
        QTest::newRow("two new ones")
            << QList<ReportFile>{{ours + ".1000.crash", 5,
                                  "a\n\nb\nSignal: 11 Termination\nUncaught Exception\nTitle: t"},
                                 {ours + ".1001.crash", 9, "ProblemType: Crash\nSignal: 6"},
                                 {ours + ".1002.crash", -1, "Title: old"}}
            << markTime << QStringList{"Rapport système Linux", "Signal: 11 Termination"}
            << markTime.addSecs(9);
    }

    void systemReportsNewSinceTheMark()
    {
        QFETCH(QList<ReportFile>, files);
        QFETCH(QDateTime, mark);
        QFETCH(QStringList, messages);
        QFETCH(QDateTime, newMark);
        QTemporaryDir reports;
        for (const ReportFile &file : files)
            writeFile(reports.filePath(file.name), file.content,
                      markTime.addSecs(file.secondsAfterMark));
        // A link in the open report folder must not carry another file out.
        writeFile(reports.filePath("secret"), "Title: secret", markTime.addSecs(60));
        QVERIFY(QFile::link(reports.filePath("secret"), reports.filePath(m_ours + ".9.crash")));
        if (mark.isValid())
            PreferencesStore::shared().setDate(PreferenceKeys::lastCrashScan, mark);
        CrashReporter::setSystemReportFolder(reports.path());

        CrashReporter::install();
        QVERIFY(uploadsSettle());
        QStringList sent;
        for (const QJsonObject &record : std::as_const(m_service.records)) {
            QVERIFY(isRecord(record));
            QCOMPARE(record["kind"].toString(), "crash");
            sent.append(record["message"].toString());
        }
        sent.sort();
        QCOMPARE(sent, messages);
        QCOMPARE(
            PreferencesStore::shared().date(PreferenceKeys::lastCrashScan).value_or(QDateTime()),
            newMark);
    }

    void longSystemReportGoesUpCut()
    {
        QTemporaryDir reports;
        // 50,000 characters, each an "e" and its combining accent.
        const QString character = QStringLiteral("e\u0301");
        writeFile(reports.filePath(m_ours + ".1000.crash"), character.repeated(50000).toUtf8());
        CrashReporter::setSystemReportFolder(reports.path());

        CrashReporter::install();
        QVERIFY(uploadsSettle());
        QCOMPARE(m_service.records.size(), 1);
        QCOMPARE(m_service.records[0]["message"].toString(), "Rapport système Linux");
        QVERIFY(m_service.records[0]["stack"] == character.repeated(18000));
    }

    void absentReportFolderLeavesNoMark()
    {
        CrashReporter::setSystemReportFolder(m_dataFolder.filePath("absent"));
        CrashReporter::install();
        QCOMPARE(CrashReporter::uploadsRunning(), 0);
        QVERIFY(!PreferencesStore::shared().contains(PreferenceKeys::lastCrashScan));
    }

    void reportErrorSendsFifteenFrames()
    {
        reportErrorFromDepth(20);
        QVERIFY(uploadsSettle());
        QCOMPARE(m_service.records.size(), 1);
        const QJsonObject record = m_service.records[0];
        QVERIFY(isRecord(record));
        QCOMPARE(record["kind"].toString(), "error");
        QCOMPARE(record["message"].toString(), "oops");
        QCOMPARE(record["stack"].toString().count(u'\n'), 14);
    }

    void osTextFromOsRelease_data()
    {
        QTest::addColumn<QByteArray>("osRelease");
        QTest::addColumn<QString>("text");
        QTest::newRow("quoted") << QByteArray("PRETTY_NAME=\"x\"\nNAME=\"Debian GNU/Linux\"\n"
                                              "VERSION_ID=\"12\"\nID=debian\n")
                                << "Debian GNU/Linux 12";
        QTest::newRow("bare and single quotes")
            << QByteArray("# comment\nNAME=Fedora\nVERSION_ID='40'") << "Fedora 40";
        QTest::newRow("escapes") << QByteArray("NAME=\"A \\\"B\\\"\"\nVERSION_ID=1") << "A \"B\" 1";
        QTest::newRow("no version") << QByteArray("NAME=\"Arch Linux\"\nID=arch") << "Arch Linux";
        QTest::newRow("no name") << QByteArray("VERSION_ID=3") << "Linux 3";
        QTest::newRow("no file") << QByteArray() << "Linux " + QSysInfo::kernelVersion();
    }

    void osTextFromOsRelease()
    {
        QFETCH(QByteArray, osRelease);
        QFETCH(QString, text);
        QTemporaryDir folder;
        if (!osRelease.isEmpty())
            writeFile(folder.filePath("os-release"), osRelease);
        QCOMPARE(SystemInfo::osText({folder.filePath("absent"), folder.filePath("os-release")}),
                 text);
    }
};

TACHORA_TEST_CORE_MAIN(TestDiagnostics)
#include "tst_diagnostics.moc"
