// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/SpeedTestEngine.h"
#include "engine/TestFailure.h"
#include "platform/HttpRequest.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The texts of the result area: times of day, latencies and the history lines.
namespace ResultTexts {

// How many results the history lines show, newest first.
inline constexpr int historyLines = 4;

// The live line while a test runs: "Ping…", "Descente… 93,4 Mbps", "Montée… 12,0 Mbps";
// empty when idle.
QString progressText(SpeedTestEngine::Phase phase, double mbps);

// "HH:mm" in local time.
QString hourText(const SpeedTestEngine::Result &result);

// The nearest whole number of milliseconds, halves away from zero, and " ms".
QString latencyText(double ms);

// "Latence en charge : ↓ 85 ms · ↑ 120 ms · gigue 2 ms · réactivité B", a dash for each
// value that was not measured; empty when none was.
QString loadedLatencyText(const SpeedTestEngine::Result &result);

// The same values in words for screen readers: "descente 85 ms, montée 120 ms, gigue 2 ms,
// réactivité B", "non mesurée" for what was not measured; empty when none was.
QString loadedLatencySpokenText(const SpeedTestEngine::Result &result);

// A rate as the result area shows it: in the chosen unit, or "—" for a phase that measured no
// rate (it is stored as 0, which a measured rate never is).
QString rateText(double mbps);

// What the gauge says under a result one of whose phases measured nothing: "Montée impossible"
// and, when that phase's own requests failed in a way a user can act on, the reason.
QString phaseFailedText(SpeedTestEngine::Phase phase, const std::optional<HttpOutcome> &failure);

// "Précédent · 14:05": marks the values of a result that is not the running or last test's.
QString previousText(const SpeedTestEngine::Result &result);

// "14:05", "↓ 93,4", "↑ 12,0", "18 ms": the columns of a history line, rates as rateText.
QStringList historyCells(const SpeedTestEngine::Result &result);

// "14:05   ↓ 93,4   ↑ 12,0   18 ms": the cells joined by three spaces.
QString historyLine(const SpeedTestEngine::Result &result);

// "↓ 412 Mbps · ↑ 95,3 Mbps · 14 ms": a result on one line, as a notification gives it.
QString summaryText(const SpeedTestEngine::Result &result);

// The cells of the first lines of the history.
QList<QStringList> historyRows(const QList<SpeedTestEngine::Result> &history);

// What the history shows while it is empty.
inline const QString noHistoryText = QStringLiteral("Aucun test pour l’instant");

// The reason of a failed test in words, when it is one a user can act on; empty otherwise.
QString failureReason(const HttpOutcome &failure);

// "Le service de mesure refuse les requêtes de cette connexion (HTTP 403)" for a test the
// service refused; empty for any other failure.
QString refusalText(const TestFailure &failure);

// A volume of data in decimal units, to two significant digits from a gigabyte on: "1,4 Go",
// "12 Go", "850 Mo", "3 ko".
QString volumeText(qint64 bytes);

// How the window names the server of a test origin: "Cloudflare" for the production one,
// otherwise its host with the port when the origin gives one ("speed.example:8443",
// "[::1]:8080"), without the scheme.
QString serverText(const QString &origin);

// The window's note on the server and on what a test costs: "Test via <server> : 1,4 Go
// échangés au dernier test", or before any test "Test via <server> : volume selon le débit".
QString noteText(const QString &serverName, std::optional<qint64> lastTestBytes);

} // namespace ResultTexts
