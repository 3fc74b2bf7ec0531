#pragma once

#include "engine/SpeedTestEngine.h"

#include <QList>
#include <QString>

// The texts of the result area: times of day, latencies and the history lines.
namespace ResultTexts {

// How many results the history lines show, newest first.
inline constexpr int historyLines = 4;

// "HH:mm" in local time.
QString hourText(const SpeedTestEngine::Result &result);

// The nearest whole number of milliseconds, halves away from zero, and " ms".
QString latencyText(double ms);

// "14:05   ↓ 93,4   ↑ 12,0   18 ms", rates in the chosen unit.
QString historyLine(const SpeedTestEngine::Result &result);

// The first lines of the history joined by line feeds, or "Aucun test pour l'instant".
QString historyText(const QList<SpeedTestEngine::Result> &history);

} // namespace ResultTexts
