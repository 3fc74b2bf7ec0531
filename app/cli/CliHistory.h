// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/SpeedTestEngine.h"

#include <QByteArray>
#include <QList>

// The stored results, newest first, as --history prints them.
namespace CliHistory {

// One line a result, "2026-12-07 14:05   ↓ 93,4   ↑ 12,0   18 ms" in local time and the
// chosen unit; a sentence when there is none.
QString text(const QList<SpeedTestEngine::Result> &history);
// A JSON array of the results' objects as a test's own JSON has them, without the streams,
// and a line feed.
QByteArray json(const QList<SpeedTestEngine::Result> &history);
// One CSV line a result.
QByteArray csv(const QList<SpeedTestEngine::Result> &history);

} // namespace CliHistory
