// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/LevelledRate.h"

#include <algorithm>
#include <cmath>

LevelledRate::LevelledRate()
    : LevelledRate(Tuning{})
{}

LevelledRate::LevelledRate(Tuning tuning)
    : m_tuning(tuning)
{}

void LevelledRate::add(double seconds, qint64 bytes)
{
    // Out of order or going back: a sample that cannot be read as part of one count.
    if (!std::isfinite(seconds) || seconds < 0 || bytes < 0)
        return;
    if (!m_samples.empty()
        && (seconds <= m_samples.back().seconds || double(bytes) < m_samples.back().bytes))
        return;
    m_samples.push_back({seconds, double(bytes)});
}

double LevelledRate::bytesAt(const std::vector<Sample> &samples, double seconds)
{
    const auto after = std::ranges::upper_bound(samples, seconds, {}, &Sample::seconds);
    if (after == samples.begin())
        return 0;
    if (after == samples.end())
        return samples.back().bytes;
    const Sample &before = *(after - 1);
    const double share = (seconds - before.seconds) / (after->seconds - before.seconds);
    return before.bytes + (after->bytes - before.bytes) * share;
}

LevelledRate::Reading LevelledRate::reading(double span, qint64 bytes) const
{
    if (!(span > 0) || bytes <= 0)
        return {};
    const Reading whole{double(bytes) / span, 0, false};
    // The count starts at nothing and ends with the phase's total.
    std::vector<Sample> samples{{0, 0}};
    for (const Sample &sample : m_samples)
        if (sample.seconds < span && sample.bytes <= double(bytes))
            samples.push_back(sample);
    samples.push_back({span, double(bytes)});

    const double shortest = std::max(m_tuning.minimumSeconds, m_tuning.minimumShare * span);
    for (const Sample &start : samples) {
        const double length = span - start.seconds;
        if (length < shortest)
            break;
        const double middle = start.seconds + length / 2;
        const double atMiddle = bytesAt(samples, middle);
        const double first = (atMiddle - start.bytes) / (length / 2);
        const double second = (double(bytes) - atMiddle) / (length / 2);
        const double larger = std::max(first, second);
        if (larger > 0 && std::abs(first - second) <= m_tuning.tolerance * larger)
            return {(double(bytes) - start.bytes) / length, start.seconds, true};
    }
    return whole;
}
