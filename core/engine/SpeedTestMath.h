// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>

#include <optional>

// The two rules that turn what a test observed into its values.
namespace SpeedTestMath {

inline constexpr int minimumLatencySamples = 3;
// A phase this short or shorter measures nothing.
inline constexpr double minimumPhaseSeconds = 0.4;

// The latency of a test in milliseconds: the sample at index count / 2 of the sorted
// samples (with an even count, the larger of the two middle ones). Absent with fewer
// than three samples.
std::optional<double> medianLatency(QList<double> samples);

// Megabits per second for bytes moved in seconds; 0 when nothing moved or the time is
// not above minimumSeconds.
double rate(qint64 bytes, double seconds, double minimumSeconds = minimumPhaseSeconds);

} // namespace SpeedTestMath
