// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/SpeedTestEngine.h"

#include <QByteArray>

// One test a line of comma-separated values, for machines: the date in ISO 8601 UTC, the
// server, ping, jitter, down, up, the latencies under load, the grade and the bytes each
// throughput phase moved; rates in Mbit/s and latencies in ms, "." as the decimal separator
// with every digit that gives back the same double; an empty field for what was not
// measured or is not known (the server of a stored result).
namespace CliCsv {

// The names of the columns, and a line feed.
QByteArray header();
// One result measured against server (empty for a stored result), and a line feed.
QByteArray line(const SpeedTestEngine::Result &result, const QString &server = {});

} // namespace CliCsv
