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

double LevelledRate::stallStart(const std::vector<Sample> &samples, double span) const
{
    const double total = samples.back().bytes;
    for (auto sample = samples.begin(); sample != samples.end(); ++sample) {
        const double length = span - sample->seconds;
        if (length > m_tuning.longestStallShare * span || sample->seconds < length)
            continue;
        if (length < m_tuning.shortestStall)
            break;
        const double pace = (sample->bytes - bytesAt(samples, sample->seconds - length)) / length;
        if (total - sample->bytes >= m_tuning.stallShare * pace * length)
            continue;
        // The earliest such stretch may still hold some of the pace before the stall: the
        // stall begins where the count stops moving at it. Shorter than a tick, it may be
        // no more than the way a count of acknowledged bytes moves, in lumps.
        auto start = sample;
        while (start + 1 != samples.end()
               && start[1].bytes - start->bytes
                      >= m_tuning.stallShare * pace * (start[1].seconds - start->seconds))
            ++start;
        return span - start->seconds >= m_tuning.shortestStall ? start->seconds : span;
    }
    return span;
}

LevelledRate::Reading LevelledRate::levelPart(const std::vector<Sample> &samples, double end,
                                              double shortest) const
{
    const double total = bytesAt(samples, end);
    for (const Sample &start : samples) {
        const double length = end - start.seconds;
        if (length < shortest)
            break;
        const double middle = start.seconds + length / 2;
        const double atMiddle = bytesAt(samples, middle);
        const double first = (atMiddle - start.bytes) / (length / 2);
        const double second = (total - atMiddle) / (length / 2);
        const double larger = std::max(first, second);
        if (larger > 0 && std::abs(first - second) <= m_tuning.tolerance * larger)
            return {(total - start.bytes) / length, start.seconds, true};
    }
    return {};
}

LevelledRate::Reading LevelledRate::reading(double span, qint64 bytes) const
{
    if (!(span > 0) || bytes <= 0)
        return {};
    // The count starts at nothing and ends with the phase's total.
    std::vector<Sample> samples{{0, 0}};
    for (const Sample &sample : m_samples)
        if (sample.seconds < span && sample.bytes <= double(bytes))
            samples.push_back(sample);
    samples.push_back({span, double(bytes)});

    // The level part stands for the whole phase's length, stall or not.
    const double shortest = std::max(m_tuning.minimumSeconds, m_tuning.minimumShare * span);
    if (const double end = stallStart(samples, span); end < span) {
        const Reading before = levelPart(samples, end, shortest);
        const double stalled = (double(bytes) - bytesAt(samples, end)) / (span - end);
        if (before.levelled && stalled < m_tuning.stallShare * before.bytesPerSecond)
            return before;
    }
    if (const Reading level = levelPart(samples, span, shortest); level.levelled)
        return level;
    return {double(bytes) / span, 0, false};
}
