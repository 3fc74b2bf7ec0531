// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "CliRun.h"

#include "engine/SpeedTestEngine.h"

#include <QByteArray>
#include <QString>

// The texts the command-line tool writes.
namespace CliReport {

// "Ping : 14 ms", "Descente : 93,4 Mbps", "Montée : 12,0 Mbps", one per line, in the
// unit the user chose for the application, then the latencies under load when the test
// measured any. run: the test that just ran, whose phases that moved nothing show a dash
// instead of a rate; absent for a stored result.
QString text(const SpeedTestEngine::Result &result, const CliRun *run = nullptr);

// {"date": "<ISO 8601 UTC>", "down": <Mbps>, "up": <Mbps>, "ping": <ms>,
// "loadedLatencyDown": <ms>, "loadedLatencyUp": <ms>, "jitter": <ms>, "grade": "A+" to "F",
// "streamsDown": <n>, "streamsUp": <n>, "bytesDown": <n>, "bytesUp": <n>} and a line feed,
// every number written with all the digits that give back the same double, and null for what
// was not measured; the streams are the parallel connections each phase kept, the bytes what
// each phase moved. A phase of run that moved nothing has a null rate.
QByteArray json(const SpeedTestEngine::Result &result, int streamsDown, int streamsUp,
                const CliRun *run = nullptr);

// The digits of a number for machines: "." as the decimal separator, every digit that gives
// back the same double and no more; empty when it is not finite.
QByteArray number(double value);

// {"failure": "refused", "status": 403, "bytesDown": <n>, "bytesUp": <n>} and a line feed, for
// the engine's last test, which failed; "status" only when an answer had one.
QByteArray failureJson(const SpeedTestEngine &engine);

// The live line while a test runs, such as "Descente… 93,4 Mbps".
QString progressText(SpeedTestEngine::Phase phase, double mbps);

// Why a request failed, such as "Cause : connexion refusée (<the transport's words>)".
QString failureText(const HttpOutcome &failure);

} // namespace CliReport
