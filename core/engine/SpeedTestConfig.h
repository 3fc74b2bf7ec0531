// SPDX-License-Identifier: GPL-3.0-or-later
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
    // A phase left out measures nothing: the result holds 0 for it.
    bool measureDownload = true;
    bool measureUpload = true;
    double downloadBudget = 8.0;
    double uploadBudget = 5.0;
    // Sizes in bytes of the successive download requests of each stream; after the last, a
    // stream asks for the last again, until the phase has asked for downloadLimit bytes in
    // all. The limit is what the fastest links move in the budget (10 Gbit/s for 8 s), so a
    // phase lasts its budget on any link slower than that and its data stays bounded.
    // The public service refuses 100,000,000 bytes and more to a client that is not a
    // browser: every size stays below that.
    static constexpr std::array<qint64, 3> productionSteps{15000000, 40000000, 95000000};
    QList<qint64> downloadSteps{productionSteps.begin(), productionSteps.end()};
    qint64 downloadLimit = 10000000000;
    // The most parallel streams (each a connection in use) of each phase.
    int maxStreamsDown = 8;
    int maxStreamsUp = 6;
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
