// SPDX-License-Identifier: GPL-3.0-or-later
// tachora-cli: one speed test from a terminal, with the application's engine, units and
// history.

#include "CliCsv.h"
#include "CliHistory.h"
#include "CliOptions.h"
#include "CliReport.h"
#include "InterruptWatcher.h"

#include "engine/SpeedTestEngine.h"
#include "engine/TestFailure.h"
#include "platform/BuildConfig.h"
#include "platform/MeteredConnection.h"
#include "settings/FrenchTypography.h"
#include "settings/ResultTexts.h"
#include "settings/SpeedHistory.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

namespace {

void write(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// Our own words for the user, in French typography; JSON goes out as bytes, and texts that
// hold words from elsewhere (what the user typed, the transport's error) come typeset
// where they are made and go out as they are.
void writeText(FILE *stream, const QString &text)
{
    write(stream, FrenchTypography::typeset(text).toUtf8());
}

// The one live line on stderr, redrawn in place; nothing when stderr is not a terminal.
class ProgressLine
{
public:
    ProgressLine()
        : m_enabled(::isatty(STDERR_FILENO) == 1)
    {}

    void show(const QString &text)
    {
        if (m_enabled)
            write(stderr, "\r" + FrenchTypography::typeset(text).toUtf8() + "\x1b[K");
    }

    void clear()
    {
        if (m_enabled)
            write(stderr, "\r\x1b[K");
    }

private:
    bool m_enabled;
};

constexpr int exitResult = 0;
constexpr int exitNoResult = 1;
constexpr int exitUsage = 2;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tachora-cli"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(BuildConfig::version));

    const CliOptions options = CliOptions::parse(QCoreApplication::arguments());
    switch (options.action) {
    case CliOptions::Action::help:
        writeText(stdout, options.message);
        return exitResult;
    case CliOptions::Action::version:
        write(stdout, QByteArrayLiteral("tachora-cli ") + BuildConfig::version + "\n");
        return exitResult;
    case CliOptions::Action::fail:
        write(stderr, (FrenchTypography::typeset(QStringLiteral("tachora-cli : ")) + options.message
                       + QStringLiteral("\nVoir tachora-cli --help.\n"))
                          .toUtf8());
        return exitUsage;
    case CliOptions::Action::header:
        write(stdout, CliCsv::header());
        return exitResult;
    case CliOptions::Action::history: {
        const QList<SpeedTestEngine::Result> history = SpeedHistory::all();
        if (options.json)
            write(stdout, CliHistory::json(history));
        else if (options.csv || options.csvHeader)
            write(stdout,
                  (options.csvHeader ? CliCsv::header() : QByteArray()) + CliHistory::csv(history));
        else
            writeText(stdout, CliHistory::text(history));
        return exitResult;
    }
    case CliOptions::Action::run:
        break;
    }

    SpeedTestEngine &engine = options.defaultEngine ? SpeedTestEngine::shared()
                                                    : *new SpeedTestEngine(options.config, &app);
    ProgressLine progress;
    bool userCancelled = false;
    int cancelStatus = 0;

    InterruptWatcher interrupts;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &app, [&](int signalNumber) {
        if (userCancelled) {
            // A second interrupt does not wait for the latency probe in flight.
            progress.clear();
            writeText(stderr, QStringLiteral("Test annulé\n"));
            std::fflush(stdout);
            ::_exit(cancelStatus);
        }
        userCancelled = true;
        cancelStatus = 128 + signalNumber;
        engine.cancel();
    });

    engine.onProgress = [&](SpeedTestEngine::Phase phase, double mbps) {
        progress.show(ResultTexts::progressText(phase, mbps));
    };
    engine.onFinished = [&](std::optional<SpeedTestEngine::Result> result) {
        progress.clear();
        if (userCancelled) {
            writeText(stderr, QStringLiteral("Test annulé\n"));
            QCoreApplication::exit(cancelStatus);
        } else if (!result) {
            const TestFailure failure = TestFailure::of(engine);
            const QString refusal = ResultTexts::refusalText(failure);
            writeText(stderr,
                      (refusal.isEmpty() ? QStringLiteral("Test impossible (réseau ?)") : refusal)
                          + u'\n');
            if (options.json)
                write(stdout, CliReport::failureJson(failure, engine));
            if (failure.outcome)
                write(stderr, (CliReport::failureText(*failure.outcome) + u'\n').toUtf8());
            QCoreApplication::exit(exitNoResult);
        } else {
            if (options.json)
                write(stdout,
                      CliReport::json(*result, engine.streams(SpeedTestEngine::Phase::download),
                                      engine.streams(SpeedTestEngine::Phase::upload)));
            else if (options.csv)
                write(stdout, (options.csvHeader ? CliCsv::header() : QByteArray())
                                  + CliCsv::line(*result, engine.config().host));
            else
                writeText(stdout, CliReport::text(*result));
            QCoreApplication::exit(exitResult);
        }
    };
    // A script cannot be asked: it is told, and the test goes on.
    if (MeteredConnection::isMetered())
        writeText(stderr, QStringLiteral("tachora-cli : cette connexion est facturée à l’usage ; "
                                         "un test peut échanger plus d’1 Go.\n"));
    engine.start();
    return QCoreApplication::exec();
}
