// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/SpeedTestEngine.h"
#include "engine/TestFailure.h"

#include <QByteArray>
#include <QString>

// The texts the command-line tool writes.
namespace CliReport {

// "Ping : 14 ms", "Descente : 93,4 Mbps", "Montée : 12,0 Mbps", one per line, in the
// unit the user chose for the application, then the latencies under load when the test
// measured any. A direction with no rate (0 in the result) shows a dash.
QString text(const SpeedTestEngine::Result &result);

// {"date": "<ISO 8601 UTC>", "down": <Mbps>, "up": <Mbps>, "ping": <ms>,
// "loadedLatencyDown": <ms>, "loadedLatencyUp": <ms>, "jitter": <ms>, "grade": "A+" to "F",
// "streamsDown": <n>, "streamsUp": <n>, "bytesDown": <n>, "bytesUp": <n>} and a line feed,
// every number written with all the digits that give back the same double, and null for what
// was not measured; the streams are the parallel connections each phase kept, the bytes what
// each phase moved; a direction with no rate (0 in the result) is null.
QByteArray json(const SpeedTestEngine::Result &result, int streamsDown, int streamsUp);
// The same object without the streams, which a stored result does not know, and without the
// line feed.
QByteArray object(const SpeedTestEngine::Result &result);

// The digits of a number for machines: "." as the decimal separator, every digit that gives
// back the same double and no more; empty when it is not finite.
QByteArray number(double value);

// {"failure": "refused", "status": 403, "bytesDown": <n>, "bytesUp": <n>} and a line feed, for
// the engine's last test, which failed; "status" only when an answer had one.
QByteArray failureJson(const TestFailure &failure, const SpeedTestEngine &engine);

// Why a request failed, such as "Cause : connexion refusée (<the transport's words>)".
QString failureText(const HttpOutcome &failure);

} // namespace CliReport
