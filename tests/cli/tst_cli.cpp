// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"

#include "SpeedServerProcess.h"

#include "CliCsv.h"
#include "CliHistory.h"
#include "CliOptions.h"
#include "CliReport.h"

#include "platform/PreferencesStore.h"
#include "settings/FrenchTypography.h"
#include "settings/PreferenceKeys.h"
#include "settings/ResultTexts.h"
#include "settings/SpeedHistory.h"
#include "settings/SpeedSettings.h"

using Phase = SpeedTestEngine::Phase;
using Result = SpeedTestEngine::Result;

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void init() { PreferencesStore::shared().remove(PreferenceKeys::history); }

    void parsesOptions()
    {
        // --json changes the output, not the engine: the application's own one serves.
        QVERIFY(CliOptions::parse({"tachora-cli", "--json"}).defaultEngine);
        QVERIFY(!CliOptions::parse({"tachora-cli", "--no-loaded-latency"}).defaultEngine);
        // An origin as the engine takes it: no trailing slash, an IPv6 host in brackets.
        for (const QString server : {"http://127.0.0.1:8080/", "http://[::1]:9000"})
            QCOMPARE(CliOptions::parse({"tachora-cli", "--server", server}).config.host,
                     server.chopped(server.endsWith(u'/')));
    }

    void rejectsBadOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        const QString rows =
            "--download-budget 0.4|--upload-budget nan|--download-budget 1e9|--steps 1,,2|"
            "--steps 0|--cacert /nonexistent|now|--server 127.0.0.1:8080|--server file:///etc|"
            "--server http://host/speed|--server http://host?x|--server http://host:99999|"
            "--server http://127.0.0.1:0|--server http://[::1]:0|--interface nosuch0|"
            "--interface 999.1.1.1|--interface|-4 -6|--json --csv|--csv-header --json|"
            "--no-download --no-upload|--history --server http://127.0.0.1:1|--bogus|-x";
        for (const QString &arguments : rows.split(u'|'))
            QTest::newRow(qPrintable(arguments)) << arguments.split(u' ');
    }

    // Refused, never measured with a default instead, and the French message names the
    // option (or the stray argument).
    void rejectsBadOptions()
    {
        QFETCH(QStringList, arguments);
        const CliOptions options = CliOptions::parse(QStringList{"tachora-cli"} + arguments);
        QVERIFY(options.action == CliOptions::Action::fail);
        QVERIFY2(options.message.contains(arguments.constFirst()), qPrintable(options.message));
    }

    // What is printed of a result. For machines: a dot, every digit, and an empty field or
    // null for what was not measured, nor known of a stored result; a direction with no rate
    // has none, whatever the history holds.
    void resultOutputs()
    {
        const Result result(0, 93.4, 0, 3.25, {4, std::nullopt, 5}, {123456, 0});
        QCOMPARE(CliCsv::header(), "date,server,ping,jitter,down,up,loadedLatencyDown,"
                                   "loadedLatencyUp,grade,bytesDown,bytesUp\n");
        QCOMPARE(CliCsv::line(result, "http://127.0.0.1:8080"),
                 "2001-01-01T00:00:00Z,http://127.0.0.1:8080,3.25,5,93.4,,4,,A+,123456,0\n");
        QCOMPARE(CliHistory::csv({result}), "2001-01-01T00:00:00Z,,3.25,5,93.4,,4,,A+,123456,0\n");
        QCOMPARE(CliReport::json(Result(0, 93.4, 0, 3.25, {4, std::nullopt, 5}), 3, 2),
                 R"({"date": "2001-01-01T00:00:00.000Z", "down": 93.4, "up": null, "ping": 3.25, )"
                 R"("loadedLatencyDown": 4, "loadedLatencyUp": null, "jitter": 5, "grade": "A+", )"
                 R"("streamsDown": 3, "streamsUp": 2, "bytesDown": null, "bytesUp": null})"
                 "\n");
        QVERIFY(CliHistory::json({result}).contains(R"("up": null, )"));
        // For people, in the unit chosen: the latencies under load, when measured, with a dash
        // for each missing one, as for a direction with no rate.
        QCOMPARE(CliReport::text(Result(0, 93.4, 12.04, 12.49, {85.2, 120.4, 2.3})),
                 "Ping : 12 ms\nDescente : 93,4 Mbps\nMontée : 12,0 Mbps\n"
                 "Latence en charge : ↓ 85 ms · ↑ 120 ms · gigue 2 ms · réactivité C\n");
        QCOMPARE(ResultTexts::progressText(Phase::download, 93.4), "Descente… 93,4 Mbps");
        SpeedSettings::setUnitMBytes(true);
        const auto restore = qScopeGuard([] { SpeedSettings::setUnitMBytes(false); });
        QCOMPARE(CliReport::text(Result(0, 93.4, 0, 12.5, {std::nullopt, std::nullopt, 0.4})),
                 "Ping : 13 ms\nDescente : 11,7 Mo/s\nMontée : \u2014\n"
                 "Latence en charge : ↓ \u2014 · ↑ \u2014 · gigue 0 ms · réactivité \u2014\n");
        QCOMPARE(ResultTexts::progressText(Phase::download, 93.4), "Descente… 11,7 Mo/s");
    }

    // What --history prints, from the stored results, without a test.
    void history()
    {
        SpeedHistory::add(Result(1000, 93.4, 12, 18, {40, 50, 2}));
        SpeedHistory::add(Result(2000, 50, 5.5, 20));
        const QList<Result> stored = SpeedHistory::all();
        const std::pair<QStringList, QByteArray> cases[] = {
            {{"--history"}, FrenchTypography::typeset(CliHistory::text(stored)).toUtf8()},
            {{"--history", "--json"}, CliHistory::json(stored)},
            {{"--history", "--csv-header", "--csv"}, CliCsv::header() + CliHistory::csv(stored)},
            {{"--csv-header"}, CliCsv::header()}};
        for (const auto &[arguments, expected] : cases) {
            const TestSupport::ProcessRun run = TestSupport::run(TACHORA_CLI_PATH, arguments);
            QCOMPARE(std::pair(run.status, run.out), std::pair(0, expected));
        }
        QVERIFY(CliHistory::text(stored).contains("   \u2193 50,0   \u2191 5,5   20 ms\n"));
        QCOMPARE(QJsonDocument::fromJson(CliHistory::json(stored)).array().size(), 2);
        QCOMPARE(SpeedHistory::all().size(), 2);
    }

    // Arguments after a quick test's when a server runs. Standard output holds the stored
    // result, as text or as JSON with every digit, or nothing; an empty expected error output:
    // nothing at all on that stream. Ctrl-C comes once the first download has begun. A result is
    // stored exactly when the run ends with 0.
    void runs_data()
    {
        TestSupport::addColumns<QStringList, QStringList, int, QString>(
            "serverArguments", "arguments", "status", "err");
        const auto row = [](const char *name, const QString &server, const QString &arguments,
                            int status = 0, const char *err = "") {
            QTest::newRow(name) << server.split(u' ', Qt::SkipEmptyParts)
                                << arguments.split(u' ', Qt::SkipEmptyParts) << status
                                << QString(err);
        };
        const QString fast = "--down-rate 50000000 --up-rate 50000000";
        // Not a terminal: no live line at all.
        row("text", fast, "");
        // A download long enough for probes under load, answered 100 ms late.
        row("json, latency under load", fast + " --fault delay=0@head#5 --fault delay=100@head",
            "--json --download-budget 2 --steps 1000000000");
        // Sent from the loopback interface, and over IPv6 to ::1; from elsewhere, no result.
        row("csv, from lo", fast, "--csv --csv-header --interface lo");
        row("IPv6", fast + " --host ::1", "-6");
        row("IPv4 to ::1", fast + " --host ::1", "-4", 1, "Test impossible");
        row("from an address not ours", fast, "--interface 192.0.2.1", 1, "Test impossible");
        row("json, no upload", fast, "--json --no-upload");
        // What was typed is quoted as typed, untouched by the typography of our own words.
        row("malformed origin, before any request", "", "--server htp:/127.0.0.1\u00A0;", 2,
            "htp:/127.0.0.1\u00A0;");
        row("no result, and why", "--fault refuse", "", 1,
            "Test impossible (réseau\u202F?)\nCause\u202F: connexion refusée");
        // Refused by the service (every download and upload), said as such; the JSON says it too.
        row("refused, in JSON", "--public-rules --size-cap 1 --fault status=403@up", "--json", 1,
            "Le service de mesure refuse les requêtes de cette connexion (HTTP 403)");
        row("Ctrl-C", "--down-rate 1000000", "--download-budget 60", 130, "Test annulé\n");
    }

    void runs()
    {
        auto [serverArguments, arguments, status, err] =
            TestSupport::fetch<QStringList, QStringList, int, QString>(
                "serverArguments", "arguments", "status", "err");
        SpeedServerProcess server;
        QString origin;
        if (!serverArguments.isEmpty()) {
            QVERIFY(server.start(serverArguments));
            origin = serverArguments.contains("::1") ? server.origin().replace("127.0.0.1", "[::1]")
                                                     : server.origin();
            arguments = QStringList{"--server",        origin, "--download-budget", "0.5",
                                    "--upload-budget", "0.5",  "--steps",           "100000000"}
                        + arguments;
        }
        // Killed, if still running, when it goes.
        QProcess cli;
        TestSupport::startChild(cli, TACHORA_CLI_PATH, arguments, QProcess::SeparateChannels);
        if (status == 130) {
            QTRY_COMPARE_WITH_TIMEOUT(SpeedServerProcess::count(server.requests(), "GET"), 1,
                                      30000);
            ::kill(pid_t(cli.processId()), SIGINT);
        }
        QVERIFY(cli.waitForFinished(30000) && cli.exitStatus() == QProcess::NormalExit);
        QCOMPARE(cli.exitCode(), status);
        const QByteArray output = cli.readAllStandardOutput();
        const QByteArray errors = cli.readAllStandardError();
        QVERIFY2(err.isEmpty() ? errors.isEmpty() : errors.contains(err.toUtf8()),
                 errors.constData());
        const QList<Result> history = SpeedHistory::all();
        QCOMPARE(history.size(), status == 0 ? 1 : 0);
        if (status != 0) {
            QCOMPARE(output, arguments.contains("--json")
                                 ? R"({"failure": "refused", "status": 403, "bytesDown": 0, )"
                                   R"("bytesUp": 0})"
                                   "\n"
                                 : QByteArray());
        } else if (arguments.contains("--no-upload")) {
            // Stored with 0; null for scripts, as nothing was measured.
            QVERIFY(history.constFirst().up() == 0 && history.constFirst().down() > 0);
            QVERIFY(output.contains(R"("up": null)"));
        } else if (arguments.contains("--json")) {
            // The streams each phase kept (how many is the engine tests' matter).
            const QJsonObject object = QJsonDocument::fromJson(output).object();
            const int down = object["streamsDown"].toInt(), up = object["streamsUp"].toInt();
            QVERIFY(down >= 1 && up >= 1);
            QCOMPARE(output, CliReport::json(history.constFirst(), down, up));
            // Measured when the phases leave time for it.
            QVERIFY(history.constFirst().loadedLatencyDown() && history.constFirst().grade());
        } else if (arguments.contains("--csv")) {
            // The header, then the stored result with the server and the bytes moved.
            QCOMPARE(output, CliCsv::header() + CliCsv::line(history.constFirst(), origin));
            QVERIFY(history.constFirst().bytesDown().value_or(0) > 0);
        } else {
            // In French typography, as everything the user reads.
            QCOMPARE(output,
                     FrenchTypography::typeset(CliReport::text(history.constFirst())).toUtf8());
        }
    }
};

TACHORA_TEST_CORE_MAIN(TestCli)
#include "tst_cli.moc"
