// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>

#include <optional>

// How much a link's latency grows while it is loaded, graded, and how much it varies
// while idle.
namespace Responsiveness {

enum class Grade { aPlus, a, b, c, d, f };

struct GradeStep
{
    // The grade of every increase, in milliseconds, below this bound.
    double below;
    Grade grade;
    const char *text;
};

// The bounds in common use for grading bufferbloat, from the best grade up.
inline constexpr GradeStep gradeSteps[] = {
    {5.0, Grade::aPlus, "A+"}, {30.0, Grade::a, "A"},  {60.0, Grade::b, "B"},
    {200.0, Grade::c, "C"},    {400.0, Grade::d, "D"},
};
inline constexpr GradeStep worstGrade{0.0, Grade::f, "F"};

// The grade of an increase of the latency under load over the idle one, in milliseconds;
// absent when it is not a number.
std::optional<Grade> gradeForIncrease(double increaseMs);

// The grade of a test from the larger of the loaded latencies' increases over its idle
// ping; absent without any loaded latency.
std::optional<Grade> grade(double pingMs, std::optional<double> loadedDownMs,
                           std::optional<double> loadedUpMs);

// "A+", "A", ..., "F".
QString gradeText(Grade grade);

// The mean absolute difference between consecutive samples, in milliseconds; absent with
// fewer than two.
std::optional<double> jitter(const QList<double> &samples);

} // namespace Responsiveness
