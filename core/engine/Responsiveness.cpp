// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/Responsiveness.h"

#include <algorithm>
#include <cmath>

namespace Responsiveness {

std::optional<Grade> gradeForIncrease(double increaseMs)
{
    if (std::isnan(increaseMs))
        return std::nullopt;
    for (const GradeStep &step : gradeSteps) {
        if (increaseMs < step.below)
            return step.grade;
    }
    return worstGrade.grade;
}

std::optional<Grade> grade(double pingMs, std::optional<double> loadedDownMs,
                           std::optional<double> loadedUpMs)
{
    if (!loadedDownMs && !loadedUpMs)
        return std::nullopt;
    const double loaded =
        std::max(loadedDownMs.value_or(-HUGE_VAL), loadedUpMs.value_or(-HUGE_VAL));
    return gradeForIncrease(loaded - pingMs);
}

QString gradeText(Grade grade)
{
    for (const GradeStep &step : gradeSteps) {
        if (step.grade == grade)
            return QString::fromLatin1(step.text);
    }
    return QString::fromLatin1(worstGrade.text);
}

std::optional<double> jitter(const QList<double> &samples)
{
    if (samples.size() < 2)
        return std::nullopt;
    double sum = 0;
    for (qsizetype i = 1; i < samples.size(); ++i)
        sum += std::abs(samples[i] - samples[i - 1]);
    return sum / double(samples.size() - 1);
}

} // namespace Responsiveness
