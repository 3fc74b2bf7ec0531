#include "TestSupport.h"

#include "../engine/SpeedServerProcess.h"

#include "CliOptions.h"
#include "CliReport.h"

#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"
#include "settings/SpeedHistory.h"
#include "settings/SpeedSettings.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>

using Result = SpeedTestEngine::Result;

namespace {

struct Exit
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

constexpr int runWithinMs = 30000;

QStringList quickTest(const QString &origin)
{
    return {"--server",        origin, "--download-budget", "0.6",
            "--upload-budget", "0.6",  "--steps",           "100000000"};
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

    QProcess m_cli;

    void startCli(const QStringList &arguments)
    {
        m_cli.start(QStringLiteral(TACHORA_CLI_PATH), arguments);
        QVERIFY(m_cli.waitForStarted());
    }

    Exit finishCli()
    {
        Exit exit;
        if (!m_cli.waitForFinished(runWithinMs) || m_cli.exitStatus() != QProcess::NormalExit)
            return exit;
        exit.status = m_cli.exitCode();
        exit.out = m_cli.readAllStandardOutput();
        exit.err = m_cli.readAllStandardError();
        return exit;
    }

    Exit runCli(const QStringList &arguments)
    {
        startCli(arguments);
        return finishCli();
    }

private slots:
    void init()
    {
        PreferencesStore::shared().remove(PreferenceKeys::history);
        PreferencesStore::shared().remove(PreferenceKeys::unitMBytes);
    }

    void cleanup()
    {
        if (m_cli.state() != QProcess::NotRunning) {
            m_cli.kill();
            m_cli.waitForFinished();
        }
    }

    void parsesOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("action");
        QTest::addColumn<bool>("defaultEngine");
        QTest::addColumn<QString>("check");
        using Action = CliOptions::Action;
        const auto row = [](const char *name, QStringList arguments, Action action,
                            bool defaultEngine = false, QString check = {}) {
            QTest::newRow(name) << arguments << int(action) << defaultEngine << check;
        };
        row("nothing", {}, Action::run, true, "host=https://speed.cloudflare.com");
        row("json", {"--json"}, Action::run, true, "json");
        row("server", {"--server", "http://127.0.0.1:8080/"}, Action::run, false,
            "host=http://127.0.0.1:8080");
        row("budgets", {"--download-budget", "1.5", "--upload-budget", "2"}, Action::run, false,
            "budgets=1.5,2");
        row("steps", {"--steps", "1000, 2000"}, Action::run, false, "steps=1000,2000");
        row("http2", {"--http2"}, Action::run, false, "http2");
        row("help", {"--help"}, Action::help, false, "--download-budget");
        row("version", {"--version"}, Action::version);
        row("server with path", {"--server", "http://host/x"}, Action::fail);
        row("zero budget", {"--download-budget", "0"}, Action::fail);
        row("not a number", {"--upload-budget", "nan"}, Action::fail);
        row("endless budget", {"--download-budget", "1e9"}, Action::fail);
        row("empty step", {"--steps", "1,,2"}, Action::fail);
        row("zero step", {"--steps", "0"}, Action::fail);
        row("missing ca file", {"--cacert", "/nonexistent/ca.pem"}, Action::fail);
        row("stray argument", {"now"}, Action::fail);
    }

    void parsesOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, action);
        QFETCH(bool, defaultEngine);
        QFETCH(QString, check);
        const CliOptions options = CliOptions::parse(QStringList{"tachora-cli"} + arguments);
        QCOMPARE(int(options.action), action);
        if (options.action == CliOptions::Action::fail)
            QVERIFY(!options.message.isEmpty());
        if (options.action != CliOptions::Action::run)
            QVERIFY(check.isEmpty() || options.message.contains(check));
        else
            QCOMPARE(options.defaultEngine, defaultEngine);
        const SpeedTestConfig &config = options.config;
        if (check.startsWith("host="))
            QCOMPARE(config.host, check.mid(5));
        if (check == "json")
            QVERIFY(options.json);
        if (check == "http2")
            QCOMPARE(config.http.version, HttpVersion::http2);
        if (check.startsWith("budgets=")) {
            QCOMPARE(config.downloadBudget, 1.5);
            QCOMPARE(config.uploadBudget, 2.0);
        }
        if (check.startsWith("steps="))
            QCOMPARE(config.downloadSteps, (QList<qint64>{1000, 2000}));
    }

    void resultTexts_data()
    {
        QTest::addColumn<bool>("megabytes");
        QTest::addColumn<double>("ping");
        QTest::addColumn<QString>("text");
        QTest::newRow("Mbps") << false << 17.6
                              << "Ping : 18 ms\nDescente : 93,4 Mbps\nMontée : 12,0 Mbps\n";
        QTest::newRow("Mo/s") << true << 12.5
                              << "Ping : 13 ms\nDescente : 11,7 Mo/s\nMontée : 1,5 Mo/s\n";
        QTest::newRow("just under a half") << false << 12.49
                                           << "Ping : 12 ms\nDescente : 93,4 Mbps\nMontée : "
                                              "12,0 Mbps\n";
    }

    void resultTexts()
    {
        QFETCH(bool, megabytes);
        QFETCH(double, ping);
        QFETCH(QString, text);
        SpeedSettings::setUnitMBytes(megabytes);
        QCOMPARE(CliReport::text(Result(0, 93.4, 12.04, ping)), text);
        QCOMPARE(CliReport::progressText(SpeedTestEngine::Phase::download, 93.4),
                 megabytes ? "Descente… 11,7 Mo/s" : "Descente… 93,4 Mbps");
        QCOMPARE(CliReport::progressText(SpeedTestEngine::Phase::ping, 0), "Ping…");
    }

    void jsonKeepsEveryDigit()
    {
        const Result result(818000000.123, 93.41234567890123, 1e-7, 14.285714285714286);
        const QByteArray json = CliReport::json(result);
        QVERIFY(json.endsWith("}\n"));
        const QJsonObject object = QJsonDocument::fromJson(json).object();
        QCOMPARE(object.keys(), (QStringList{"date", "down", "ping", "up"}));
        QCOMPARE(object.value("down").toDouble(), result.down());
        QCOMPARE(object.value("up").toDouble(), result.up());
        QCOMPARE(object.value("ping").toDouble(), result.ping());
        const QString date = object.value("date").toString();
        QCOMPARE(date, QStringLiteral("2026-12-03T14:13:20.123Z"));
        QVERIFY(json.contains("\"down\": 93.41234567890123,"));
    }

    void runPrintsTheResultAndStoresIt_data()
    {
        QTest::addColumn<bool>("json");
        QTest::newRow("text") << false;
        QTest::newRow("json") << true;
    }

    void runPrintsTheResultAndStoresIt()
    {
        QFETCH(bool, json);
        SpeedServerProcess server;
        QVERIFY(server.start({"--down-rate", "50000000", "--up-rate", "50000000"}));
        const Exit exit =
            runCli(quickTest(server.origin()) + (json ? QStringList{"--json"} : QStringList{}));
        QCOMPARE(exit.status, 0);
        // Not a terminal: no live line at all.
        QCOMPARE(exit.err, QByteArray());
        const QList<Result> history = SpeedHistory::all();
        QCOMPARE(history.size(), 1);
        if (json) {
            const QJsonObject object = QJsonDocument::fromJson(exit.out).object();
            QCOMPARE(object.value("down").toDouble(), history.constFirst().down());
            QCOMPARE(object.value("ping").toDouble(), history.constFirst().ping());
            const QDateTime date =
                QDateTime::fromString(object.value("date").toString(), Qt::ISODateWithMs);
            QCOMPARE(date.timeSpec(), Qt::UTC);
            QCOMPARE(date, history.constFirst().dateTime());
        } else {
            static const QRegularExpression lines(
                "^Ping : \\d+ ms\nDescente : \\d+(,\\d)? Mbps\nMontée : \\d+(,\\d)? Mbps\n$");
            QVERIFY2(lines.match(QString::fromUtf8(exit.out)).hasMatch(), exit.out.constData());
            QVERIFY(exit.out.contains(SpeedSettings::format(history.constFirst().down()).toUtf8()));
        }
    }

    void malformedOriginStopsBeforeAnyRequest()
    {
        const Exit exit = runCli({"--server", "htp:/127.0.0.1"});
        QCOMPARE(exit.status, 2);
        QVERIFY(exit.err.contains("htp:/127.0.0.1"));
        QCOMPARE(exit.out, QByteArray());
    }

    void noResultIsStatusOne()
    {
        SpeedServerProcess server;
        QVERIFY(server.start({"--fault", "refuse"}));
        const Exit exit = runCli(quickTest(server.origin()));
        QCOMPARE(exit.status, 1);
        QCOMPARE(QString::fromUtf8(exit.err), QStringLiteral("Test impossible (réseau ?)\n"));
        QCOMPARE(exit.out, QByteArray());
    }

    void interruptCancelsTheTest()
    {
        SpeedServerProcess server;
        QVERIFY(server.start({"--down-rate", "1000000"}));
        QStringList arguments = quickTest(server.origin());
        arguments[3] = "60";
        startCli(arguments);
        QTRY_COMPARE_WITH_TIMEOUT(SpeedServerProcess::count(server.requests(), "GET"), 1,
                                  runWithinMs);
        ::kill(pid_t(m_cli.processId()), SIGINT);
        const Exit exit = finishCli();
        QCOMPARE(exit.status, 130);
        QCOMPARE(QString::fromUtf8(exit.err), QStringLiteral("Test annulé\n"));
        QCOMPARE(exit.out, QByteArray());
        QCOMPARE(SpeedHistory::all().size(), 0);
    }

    void helpAndVersion()
    {
        const Exit help = runCli({"--help"});
        QCOMPARE(help.status, 0);
        for (const char *option : {"--server", "--json", "--cacert", "--http2", "--steps"})
            QVERIFY2(help.out.contains(option), option);
        const Exit version = runCli({"--version"});
        QCOMPARE(version.status, 0);
        QVERIFY(version.out.startsWith("tachora-cli "));
    }
};

TACHORA_TEST_CORE_MAIN(TestCli)
#include "tst_cli.moc"
