#pragma once

#include "engine/LoadedLatencyProbe.h"
#include "platform/HttpSession.h"

#include <QList>
#include <QString>

#include <array>
#include <chrono>
#include <optional>

// What a speed-test engine is built with; it never changes afterwards. The defaults are
// the production engine's: tests and the command-line tool choose their own.
struct SpeedTestConfig
{
    // Scheme and host (and port), no trailing slash: every request URL is this
    // followed by a path.
    QString host = QStringLiteral("https://speed.cloudflare.com");
    double downloadBudget = 8.0;
    double uploadBudget = 5.0;
    // Sizes in bytes of the successive download requests; each is asked for once.
    static constexpr std::array<qint64, 5> productionSteps{15000000, 40000000, 100000000, 300000000,
                                                           800000000};
    QList<qint64> downloadSteps{productionSteps.begin(), productionSteps.end()};
    std::chrono::milliseconds pingTimeout{5000};
    std::chrono::milliseconds downloadTimeout{14000};
    std::chrono::milliseconds uploadTimeout{11000};
    // The latency probes during the download and the upload; an interval of 0 sends none.
    LoadedLatencyTiming loadedLatency;
    HttpSession::Config http;

    // The origin in the form `host` takes, from text a user typed: http or https, a
    // host, an optional port, nothing else but an optional trailing "/". Absent when
    // the text is not such an origin.
    static std::optional<QString> originFrom(const QString &text);
};
