// SPDX-License-Identifier: GPL-3.0-or-later
#include "FakeService.h"
#include "TestSupport.h"

#include "diagnostics/CrashReporter.h"
#include "platform/BuildConfig.h"
#include "platform/HttpSession.h"
#include "platform/PreferencesStore.h"
#include "platform/ServiceLimits.h"
#include "platform/SystemInfo.h"
#include "settings/PreferenceKeys.h"

#include <thread>

using TestSupport::writeFile;

namespace {

// A report's name, its modification time in seconds after the mark, and what it holds.
using ReportFile = std::tuple<QString, qint64, QByteArray>;

// One character as a reader counts it, of two UTF-16 units.
const QString accented = QStringLiteral("e\u0301");

// A modification time as file systems keep them, with a fraction of a second.
const QDateTime markTime(QDate(2025, 1, 2), QTime(10, 0, 0, 250), Qt::UTC);

// The record a request posted to the crash endpoint; empty when it went elsewhere.
QJsonObject posted(const FakeService::Request &request)
{
    const bool crash = request.method == "POST" && request.path == "/api/crash.php";
    return crash ? request.json() : QJsonObject();
}

// A record as the service takes it: these six members, all text.
QJsonObject record(const QString &kind, const QString &message, const QString &stack,
                   const QString &deviceId = QStringLiteral("?"))
{
    return {{"d", deviceId},      {"kind", kind},
            {"message", message}, {"os", SystemInfo::osText()},
            {"stack", stack},     {"v", BuildConfig::version}};
}

} // namespace

Q_DECLARE_METATYPE(QList<ReportFile>)

class TestDiagnostics : public QObject
{
    Q_OBJECT

    // The maker's service: every request it was sent.
    FakeService m_service;
    QTemporaryDir m_dataFolder;
    // How apport names reports on this very program.
    const QString m_ours = QCoreApplication::applicationFilePath().replace(u'/', u'_');

    // Installs the reporter as a launch does (unless told not to), then waits for what it
    // sends.
    bool launch(bool install = true)
    {
        if (install)
            CrashReporter::install();
        return QTest::qWaitFor([] { return CrashReporter::uploadsRunning() == 0; }, 10000);
    }

private slots:
    // Every test starts from the same reporter, whatever the one before changed or left.
    void init()
    {
        CrashReporter::setServiceOrigin(m_service.origin() + '/');
        CrashReporter::setDataFolder(m_dataFolder.path());
        m_service.handler = [](const FakeService::Request &) { return FakeService::Answer(); };
        CrashReporter::setSystemReportFolder(m_dataFolder.filePath("absent"));
        PreferencesStore::shared().remove(PreferenceKeys::deviceId);
        PreferencesStore::shared().remove(PreferenceKeys::lastCrashScan);
        m_service.requests.clear();
    }

    void crashLeavesOneRecordForTheNextLaunch_data()
    {
        // The helper's arguments after the data folder (see crash_helper.cpp), the signal it
        // ends by, the record's message, and the helper's innermost function, which the record
        // must name.
        TestSupport::addColumns<QStringList, int, QString, QString>("arguments", "signal",
                                                                    "message", "function");
        const auto row = [](const char *name, const QStringList &arguments, int signal,
                            const char *function, const QString &message = {}) {
            QTest::newRow(name) << arguments << signal
                                << (message.isEmpty() ? QString("Signal %1").arg(signal) : message)
                                << QString(function);
        };
        for (const int number : {SIGABRT, SIGSEGV, SIGILL, SIGBUS, SIGFPE, SIGTRAP})
            row(sigabbrev_np(number), {QString::number(number)}, number, "crashHelperSignal");
        row("overflow", {"overflow"}, SIGSEGV, "crashHelperRecurse");
        row("overflow on a thread", {"thread-overflow"}, SIGSEGV, "crashHelperRecurse");
        // The abort() that follows leaves the exception's record alone. Its text is cut to
        // the service's length, between two characters of 3 bytes each.
        const QString prefix = "Exception: std::runtime_error : ";
        row("exception", {"exception-long"}, SIGABRT, "crashHelperThrow",
            prefix + QString(ServiceLimits::crashMessageLength - prefix.size(), QChar(0x20AC)));
        row("exception without text", {"exception-int"}, SIGABRT, "crashHelperThrow",
            "Exception: int : ");
        // On one line: the line feed of the text becomes a space.
        row("qFatal", {"fatal"}, SIGABRT, "crashHelperFatal", "Base corrompue : réglages ligne 2");
        // The process ends by the first signal once the record is whole, whatever comes while
        // the disk syncs it (300 ms), and a disk that never syncs holds it no longer than the
        // watchdog: that record stays where it was written, whole.
        row("two threads at once", {"threads", "300"}, SIGSEGV, "crashHelperFault");
        row("a second thread faults", {"second-fault", "300"}, SIGSEGV, "crashHelperFault");
        row("a signal sent meanwhile", {"sent-signal", "300"}, SIGSEGV, "crashHelperSignal");
        row("a disk that never syncs", {"11", "hang"}, SIGSEGV, "crashHelperSignal");
    }

    void crashLeavesOneRecordForTheNextLaunch()
    {
        const auto [arguments, signal, message, function] =
            TestSupport::fetch<QStringList, int, QString, QString>("arguments", "signal", "message",
                                                                   "function");
        QProcess helper;
        TestSupport::startChild(helper, CRASH_HELPER_PATH,
                                QStringList{m_dataFolder.path()} + arguments);
        QVERIFY(helper.waitForFinished(30000) && helper.exitStatus() == QProcess::CrashExit);
        QCOMPARE(helper.exitCode(), signal);

        const QString pending = CrashReporter::pendingFilePath();
        const QString written = QFile::exists(pending) ? pending : pending + ".new";
        const QStringList pieces =
            QString::fromUtf8(TestSupport::readFile(written)).split("\n---\n");
        QCOMPARE(pieces.value(0), message);
        QCOMPARE(pieces.mid(2), QStringList{"end"});
        // At most 30 named frames, innermost first.
        const QStringList frames = pieces[1].split(u'\n');
        const bool overflow = arguments[0].endsWith("overflow");
        QVERIFY(!frames.contains(QString())
                && (overflow ? frames.size() == 30 : frames.size() <= 30));
        const auto lineOf = [&frames](const QString &name) {
            return frames.indexOf(QRegularExpression(".*\\((_Z\\d+)?" + name + "[^)]*\\+0x.*"));
        };
        const qsizetype inner = lineOf(function), outer = lineOf("main");
        QVERIFY2(inner >= 0 && (overflow || outer < 0 || inner < outer), qPrintable(pieces[1]));

        // Sent at the next launch.
        QVERIFY(launch());
        QCOMPARE(m_service.requests.size(), 1);
        QCOMPARE(posted(m_service.requests[0]), record("crash", message, pieces[1]));
    }

    // A record found at launch goes up once the service has it: a whole record stranded
    // beside the pending file is the newer one, a partial one is dropped. The record stays
    // until the service takes it or refuses what it holds, and the next launch sends it.
    // Whatever it holds goes up as the service takes it: each member within its length, cut
    // between two characters, and the whole within one request's body.
    void pendingRecordIsSentOnce_data()
    {
        // The pending file and the partial one beside it (a null one is absent), the stored
        // device id, the message and stack that go up, the first launch's answer (0: no
        // service at all), and whether the record outlives it. A null stack that goes up: as
        // much as the body holds.
        TestSupport::addColumns<QByteArray, QByteArray, QString, QStringList, int, bool>(
            "content", "partial", "deviceId", "upload", "status", "kept");
        const auto row = [](const QString &name, const QByteArray &content,
                            const QByteArray &partial, const QString &deviceId,
                            const QStringList &upload, int status = 200, bool kept = false) {
            QTest::newRow(qPrintable(name))
                << content << partial << deviceId << upload << status << kept;
        };
        const QByteArray none, whole = "Signal 11\n---\nf\n---\nend";
        row("no separator", "Signal 11", none, "?", {"Signal 11", ""});
        // What the service would refuse: a NUL character, a blank device id.
        row("NUL characters", QByteArray("Signal 6\0\n---\na\0b", 17), none, " ",
            {"Signal 6\uFFFD", "a\uFFFDb"});
        // A crash that ended before its record was moved into place.
        row("whole partial record", "Signal 6\n---\nold\n---\nend", "Signal 8\n---\nnew\n---\nend",
            "?", {"Signal 8", "new"});
        row("partial record cut short", "Signal 6\n---\nold\n---\nend", "Signal 8\n---\nne", "?",
            {"Signal 6", "old"});
        row("400", whole, none, "?", {"Signal 11", "f"}, 400);
        for (const int status : {0, 408, 429, 500})
            row(QString::number(status), whole, none, "?", {"Signal 11", "f"}, status, true);
        using ServiceLimits::crashMessageLength, ServiceLimits::crashStackLength;
        const QString a = "a", emoji = QStringLiteral("\U0001F600");
        row("surrogate pairs at the limits",
            (a.repeated(crashMessageLength - 1) + emoji.repeated(3) + "\n---\n"
             + a.repeated(crashStackLength - 1) + emoji.repeated(10))
                .toUtf8(),
            none, "?", {a.repeated(crashMessageLength - 1), a.repeated(crashStackLength - 1)});
        // 3 MB: as much as fits is read.
        row("accents, megabytes",
            (QString(5000, u'é') + "\n---\n" + accented.repeated(1000000)).toUtf8(), none, "?",
            {QString(crashMessageLength, u'é'), accented.repeated(crashStackLength / 2)});
        // Each control character takes 6 bytes of JSON: the body is what limits the stack.
        row("control characters", "Signal 11\n---\n" + QByteArray(100000, '\1'), none, "?",
            {"Signal 11", QString()});
    }

    void pendingRecordIsSentOnce()
    {
        const auto [content, partial, deviceId, upload, status, kept] =
            TestSupport::fetch<QByteArray, QByteArray, QString, QStringList, int, bool>(
                "content", "partial", "deviceId", "upload", "status", "kept");
        if (deviceId != "?")
            PreferencesStore::shared().setString(PreferenceKeys::deviceId, deviceId);
        const QString pending = CrashReporter::pendingFilePath();
        QVERIFY(writeFile(pending, content));
        QVERIFY(partial.isNull() || writeFile(pending + ".new", partial));
        // The first answer is the row's; the service takes what comes after.
        int answer = status == 0 ? 200 : status;
        m_service.handler = [&answer](const FakeService::Request &) {
            return FakeService::Answer{std::exchange(answer, 200), {}};
        };
        CrashReporter::setServiceOrigin(status == 0 ? "http://127.0.0.1:9/"
                                                    : m_service.origin() + '/');
        QVERIFY(launch());
        QCOMPARE(QFile::exists(pending), kept);
        CrashReporter::setServiceOrigin(m_service.origin() + '/');
        QVERIFY(launch() && launch());
        QVERIFY(!QFile::exists(pending) && !QFile::exists(pending + ".new"));
        QCOMPARE(m_service.requests.size(), (status == 0 ? 0 : 1) + (kept ? 1 : 0));
        const QString sentId = deviceId.trimmed().isEmpty() ? "?" : deviceId;
        const QJsonObject sent = posted(m_service.requests.last());
        const QString stack = sent["stack"].toString();
        QCOMPARE(sent, record("crash", upload[0], upload[1].isNull() ? stack : upload[1], sentId));
        // Within one body, filled to it when the body is what limits the stack.
        const qsizetype room =
            qsizetype(ServiceLimits::requestBodyBytes) - m_service.requests.last().body.size();
        QVERIFY(room >= 0
                && (!upload[1].isNull() || (room < 6 && content.contains(stack.toUtf8()))));
        // An absent report folder leaves the scan unmarked.
        QVERIFY(!PreferencesStore::shared().contains(PreferenceKeys::lastCrashScan));
    }

    // 50,000 characters as a reader counts them: fewer than 18,000 go up, cut between two of
    // them to the service's length.
    void longSystemReportIsCut()
    {
        QTemporaryDir reports;
        CrashReporter::setSystemReportFolder(reports.path());
        QVERIFY(
            writeFile(reports.filePath(m_ours + ".1000.crash"), accented.repeated(50000).toUtf8()));
        QVERIFY(launch());
        QCOMPARE(m_service.requests.size(), 1);
        QCOMPARE(posted(m_service.requests[0]),
                 record("crash", "Rapport système Linux",
                        accented.repeated(ServiceLimits::crashStackLength / 2)));
    }

    void systemReportsNewSinceTheMark_data()
    {
        TestSupport::addColumns<QList<ReportFile>, QDateTime, QStringList, QDateTime>(
            "files", "mark", "messages", "newMark");
        QTest::newRow("first scan, our names only")
            << QList<ReportFile>{{m_ours + ".1000.crash", 0, "ProblemType: Crash\nTitle: t"},
                                 {m_ours + ".crash", 0, "Title: no number"},
                                 {m_ours + ".1000.upload", 0, "Title: apport's marker"},
                                 {m_ours + ".1000.CRASH", 0, "Title: upper case"},
                                 {m_ours + "-cli.1000.crash", 0, "Title: another program"}}
            << QDateTime() << QStringList{"Title: t"} << markTime;
        QTest::newRow("two new ones, two old")
            << QList<ReportFile>{{m_ours + ".1.crash", 5,
                                  "a\n\nb\nSignal: 11 Termination\nException"},
                                 {m_ours + ".2.crash", 9, "ProblemType: Crash\nSignal: 6"},
                                 {m_ours + ".3.crash", -1, "Title: old"},
                                 {m_ours + ".4.crash", 0, "Title: as old as the mark"}}
            << markTime << QStringList{"Rapport système Linux", "Signal: 11 Termination"}
            << markTime.addSecs(9);
    }

    void systemReportsNewSinceTheMark()
    {
        const auto [files, mark] =
            TestSupport::fetch<QList<ReportFile>, QDateTime>("files", "mark");
        QTemporaryDir reports;
        for (const auto &[name, secondsAfterMark, content] : files)
            QVERIFY(writeFile(reports.filePath(name), content, markTime.addSecs(secondsAfterMark)));
        // A link in a folder that every user may write to must not carry another file out.
        QVERIFY(writeFile(reports.filePath("secret"), "Title: secret", markTime.addSecs(60)));
        QVERIFY(QFile::link(reports.filePath("secret"), reports.filePath(m_ours + ".9.crash")));
        if (mark.isValid())
            PreferencesStore::shared().setDate(PreferenceKeys::lastCrashScan, mark);
        CrashReporter::setSystemReportFolder(reports.path());

        QVERIFY(launch());
        QStringList sent;
        for (const FakeService::Request &upload : std::as_const(m_service.requests))
            sent.append(posted(upload)["message"].toString());
        sent.sort();
        QTEST(sent, "messages");
        QTEST(PreferencesStore::shared().date(PreferenceKeys::lastCrashScan).value_or(QDateTime()),
              "newMark");
    }

    void reportErrorSendsItsStack()
    {
        CrashReporter::reportError("oops");
        QVERIFY(launch(false));
        const QJsonObject sent = posted(m_service.requests.value(0));
        const QString stack = sent["stack"].toString();
        QCOMPARE(sent, record("error", "oops", stack));
        QVERIFY(stack.contains("test_diagnostics") && stack.count(u'\n') < 15);

        // An upload that ends with its session is no longer counted.
        CrashReporter::reportError("cut");
        QCOMPARE(CrashReporter::uploadsRunning(), 1);
        delete QCoreApplication::instance()->findChild<HttpSession *>();
        QCOMPARE(CrashReporter::uploadsRunning(), 0);

        // Another thread's error is recorded on the main thread, from the store as it is then.
        m_service.requests.clear();
        std::thread([] { CrashReporter::reportError("far"); }).join();
        PreferencesStore::shared().setString(PreferenceKeys::deviceId, "4F1C");
        QTRY_COMPARE(posted(m_service.requests.value(0))["d"].toString(), "4F1C");
        QVERIFY(launch(false));
    }
};

TACHORA_TEST_CORE_MAIN(TestDiagnostics)
#include "tst_diagnostics.moc"
