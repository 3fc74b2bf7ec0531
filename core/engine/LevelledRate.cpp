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

double LevelledRate::tickRate(const std::vector<Sample> &samples, size_t k)
{
    return (samples[k].bytes - samples[k - 1].bytes)
           / (samples[k].seconds - samples[k - 1].seconds);
}

bool LevelledRate::insideLump(const std::vector<Sample> &samples, size_t k, double end,
                              double rate) const
{
    if (k == 0 || k + 1 >= samples.size() || samples[k + 1].seconds > end)
        return false;
    const Sample &before = samples[k - 1];
    const Sample &after = samples[k + 1];
    return tickRate(samples, k) > rate && tickRate(samples, k + 1) > rate
           && after.bytes - before.bytes
                  > rate / m_tuning.stallShare * (after.seconds - before.seconds);
}

size_t LevelledRate::dipStart(const std::vector<Sample> &samples, size_t k, double end,
                              double rate) const
{
    const auto counts = [&](size_t m) { return m < samples.size() && samples[m].seconds <= end; };
    const double pace = (1 - m_tuning.tolerance) * rate;
    // Back over the first part of a lump that goes on after k, then over the dip, to the
    // tick at pace before it.
    size_t bottom = k;
    if (counts(k + 1) && tickRate(samples, k + 1) > rate)
        while (bottom > 0 && tickRate(samples, bottom) > rate)
            --bottom;
    size_t j = bottom;
    while (j > 0 && tickRate(samples, j) < pace)
        --j;
    // No dip; or slow since the phase began, a ramp.
    if (j == bottom || j == 0)
        return k;
    // Begun inside the dip: it goes on after k.
    if (bottom == k)
        while (counts(bottom + 1) && tickRate(samples, bottom + 1) < pace)
            ++bottom;
    const double dipped = samples[bottom].seconds - samples[j].seconds;
    // After a burst from the phase's start, a dip is the queue the burst overfilled draining
    // while the bucket behind it refills: what follows carries the refill, however slowly.
    if (samples[j].bytes >= rate / m_tuning.stallShare * samples[j].seconds)
        return j;
    // Otherwise only a stall whose lump wins back half of it within as long again, however
    // deep the dip looks (a stall's ticks either side may carry most of the rate, and the
    // three of them over half of it): a dip the count never makes up for is time the link
    // lost, not bytes held back.
    const auto behind = [&](size_t m) {
        return rate * (samples[m].seconds - samples[j].seconds)
               - (samples[m].bytes - samples[j].bytes);
    };
    // Two and a half times as long: a loss of the repair itself stalls the count again after
    // part of its lump, and the rest comes a stall later (at 150 ms, a part begun in such a
    // dip's first tick read 100.2 on a 96.5 Mbit/s line).
    const double horizon = samples[bottom].seconds + 2.5 * dipped;
    for (size_t m = bottom + 1; counts(m) && samples[m].seconds <= horizon; ++m)
        if (behind(m) <= behind(bottom) / 2)
            return j;
    return k;
}

size_t LevelledRate::rampEnd(const std::vector<Sample> &samples, size_t k, double end,
                             double shortest, double rate) const
{
    const double pace = (1 - m_tuning.tolerance) * rate;
    // Only while the count has not yet reached the pace since the phase began: later, a slow
    // tick is a dip, and dipStart() judges it.
    for (size_t m = 1; m <= k; ++m)
        if (tickRate(samples, m) >= pace)
            return k;
    // A ramp only climbs: a tick slower than the one before is a stall in it, whose lump
    // the part would count without it.
    size_t climbed = k;
    while (climbed + 1 < samples.size() && samples[climbed + 1].seconds <= end
           && end - samples[climbed + 1].seconds >= shortest
           && tickRate(samples, climbed + 1) < pace
           && (climbed == 0 || tickRate(samples, climbed + 1) >= tickRate(samples, climbed)))
        ++climbed;
    if (climbed == k)
        return k;
    // Nor does the count run far ahead of the rest's rate just after: that is bytes held
    // back in the climb, not the climb's end.
    const Sample &start = samples[climbed];
    const double after = (bytesAt(samples, end) - start.bytes) / (end - start.seconds);
    const double horizon =
        start.seconds + std::max(start.seconds - samples[k].seconds, rampCheckSeconds);
    for (size_t m = climbed + 1; m < samples.size() && samples[m].seconds <= std::min(end, horizon);
         ++m)
        if (samples[m].bytes - start.bytes
            > rampLumpShare * after * (samples[m].seconds - start.seconds))
            return k;
    return climbed;
}

double LevelledRate::burstEnd(const std::vector<Sample> &samples) const
{
    // The burst ends where the count first slows to under half its pace so far, and it was
    // one if that pace was twice what the rest of the phase kept or more. The tick in which the
    // bucket emptied may still carry its last bytes, at twice the rest's rate or more: the
    // burst ends after it (41.6 read on an uplink of 38.6 Mbit/s that never levelled).
    // A burst may outlast the phase's first part (a 50 MB bucket at ten times a 40 Mbit/s
    // uplink: the upload read whole, 107.2, where its rest never levelled); past that part, a
    // count that slowed for good, the link gone, had no burst: what a bucket leaves runs on
    // to the end.
    const Sample &last = samples.back();
    for (size_t k = 1; k + 1 < samples.size()
                       && last.seconds - samples[k].seconds >= m_tuning.minimumShare * last.seconds;
         ++k) {
        const double pace = samples[k].bytes / samples[k].seconds;
        if (tickRate(samples, k + 1) >= m_tuning.stallShare * pace)
            continue;
        const double after = (last.bytes - samples[k].bytes) / (last.seconds - samples[k].seconds);
        if (after > m_tuning.stallShare * pace)
            return 0;
        const double restMiddle = (samples[k].seconds + last.seconds) / 2;
        const double restEnd =
            (last.bytes - bytesAt(samples, restMiddle)) / (last.seconds - restMiddle);
        if (samples[k].seconds > m_tuning.minimumShare * last.seconds
            && !(after > 0 && restEnd >= m_tuning.stallShare * after))
            return 0;
        while (k + 2 < samples.size() && samples[k + 1].bytes < last.bytes
               && tickRate(samples, k + 1) > after / m_tuning.stallShare)
            ++k;
        return samples[k].seconds;
    }
    return 0;
}

double LevelledRate::caughtUpMiddle(const std::vector<Sample> &samples, size_t k, double end) const
{
    const Sample &start = samples[k];
    const double length = end - start.seconds;
    const double middle = start.seconds + length / 2;
    const double reach = std::min(m_tuning.catchUpSeconds, length / 4);
    const double rate = (bytesAt(samples, end) - start.bytes) / length;
    const auto ahead = [&](double seconds, double bytes) {
        return bytes - start.bytes - rate * (seconds - start.seconds);
    };
    double caught = middle;
    double mostAhead = ahead(middle, bytesAt(samples, middle));
    for (size_t m = k + 1; m < samples.size() && samples[m].seconds < end; ++m) {
        const double byThen = ahead(samples[m].seconds, samples[m].bytes);
        if (std::abs(samples[m].seconds - middle) <= reach && byThen > mostAhead) {
            caught = samples[m].seconds;
            mostAhead = byThen;
        }
    }
    return caught;
}

size_t LevelledRate::bankedFrom(const std::vector<Sample> &samples, size_t k, double rate) const
{
    const double burst = burstEnd(samples);
    if (!(burst > 0) || samples[k].seconds <= burst)
        return k;
    const auto burstAt =
        size_t(std::ranges::find(samples, burst, &Sample::seconds) - samples.begin());
    for (size_t m = burstAt + 1; m <= k; ++m)
        if (tickRate(samples, m) < (1 - m_tuning.tolerance) * rate)
            return burstAt;
    return k;
}

LevelledRate::Reading LevelledRate::levelPart(const std::vector<Sample> &samples, double end,
                                              double shortest, bool splitCaughtUp) const
{
    const double total = bytesAt(samples, end);
    for (size_t k = 0; k < samples.size(); ++k) {
        const Sample &start = samples[k];
        const double length = end - start.seconds;
        if (length < shortest)
            break;
        const double middle =
            splitCaughtUp ? caughtUpMiddle(samples, k, end) : start.seconds + length / 2;
        const double atMiddle = bytesAt(samples, middle);
        const double first = (atMiddle - start.bytes) / (middle - start.seconds);
        const double second = (total - atMiddle) / (end - middle);
        const double larger = std::max(first, second);
        if (!(larger > 0 && std::abs(first - second) <= m_tuning.tolerance * larger))
            continue;
        const double rate = (total - start.bytes) / length;
        // The rest of a burst, or of the lump after a stall, would count without what it
        // came from.
        if (insideLump(samples, k, end, rate))
            continue;
        // Begun inside a dip, the part would count what makes up for it (the bytes a stall
        // held back, a token bucket's refill) without the dip.
        size_t from = dipStart(samples, k, end, rate);
        if (from == k)
            from = rampEnd(samples, k, end, shortest, rate);
        from = bankedFrom(samples, from, rate);
        return {(total - samples[from].bytes) / (end - samples[from].seconds),
                samples[from].seconds, true};
    }
    return {};
}

LevelledRate::Reading LevelledRate::beforeStall(const std::vector<Sample> &samples, Reading part,
                                                double end) const
{
    const auto at = std::ranges::find(samples, part.fromSeconds, &Sample::seconds);
    if (at == samples.begin() || at == samples.end())
        return part;
    // The stall's bottom: where the part begins, or within catchUpSeconds after, when it
    // begins at the top of a lump with repairs still to come.
    const auto near = [&](size_t i) {
        return i < samples.size() && samples[i].seconds < end
               && samples[i].seconds <= part.fromSeconds + m_tuning.catchUpSeconds;
    };
    size_t bottomAt = size_t(at - samples.begin());
    while (near(bottomAt)
           && tickRate(samples, bottomAt) >= m_tuning.stallShare * part.bytesPerSecond)
        ++bottomAt;
    if (!near(bottomAt))
        return part;
    const double total = bytesAt(samples, end);
    for (size_t k = size_t(at - samples.begin()) - 1;
         k > 0 && samples[k].seconds >= part.fromSeconds - m_tuning.catchUpSeconds; --k) {
        const Sample &start = samples[k];
        // Read up to where the count had caught up last: the phase may end held back too.
        Sample last{end, total};
        double rate = (total - start.bytes) / (end - start.seconds);
        for (const Sample &sample : samples) {
            const double to = (sample.bytes - start.bytes) / (sample.seconds - start.seconds);
            if (sample.seconds < end && sample.seconds >= end - m_tuning.catchUpSeconds
                && to > rate) {
                rate = to;
                last = sample;
            }
        }
        if (tickRate(samples, k) < (1 - m_tuning.tolerance) * rate)
            continue;
        // Not itself held back: the count does not run ahead of that rate after it.
        const double slack = heldBackShare * (last.bytes - start.bytes);
        const bool ahead = std::ranges::any_of(samples, [&](const Sample &later) {
            return later.seconds > start.seconds && later.seconds <= last.seconds
                   && later.bytes - start.bytes > rate * (later.seconds - start.seconds) + slack;
        });
        // The line's pace before the stall, which the lump after it makes up for.
        const double line = std::max(rate, tickRate(samples, k));
        const auto behind = [&](const Sample &m) {
            return line * (m.seconds - start.seconds) - (m.bytes - start.bytes);
        };
        const Sample &bottom = samples[bottomAt];
        const double horizon = bottom.seconds + 2 * m_tuning.catchUpSeconds;
        const bool madeUp = std::ranges::any_of(samples, [&](const Sample &m) {
            return m.seconds > bottom.seconds && m.seconds <= std::min(horizon, end)
                   && behind(m) <= behind(bottom) / 2;
        });
        if (!ahead && madeUp)
            return {(total - start.bytes) / (end - start.seconds), start.seconds, true};
    }
    return part;
}

LevelledRate::Reading LevelledRate::caughtUp(const std::vector<Sample> &samples, Reading part,
                                             double end, double shortest) const
{
    part = beforeStall(samples, part, end);
    const double endWindow =
        burstEnd(samples) > 0 ? m_tuning.catchUpSeconds : m_tuning.catchUpEndSeconds;
    const Sample from{part.fromSeconds, bytesAt(samples, part.fromSeconds)};
    const auto ahead = [&](const Sample &sample) {
        return sample.bytes - from.bytes - part.bytesPerSecond * (sample.seconds - from.seconds);
    };
    Sample first = from;
    Sample last{end, bytesAt(samples, end)};
    for (const Sample &sample : samples) {
        if (sample.seconds > from.seconds
            && sample.seconds <= from.seconds + m_tuning.catchUpSeconds
            && ahead(sample) > ahead(first))
            first = sample;
        if (sample.seconds < end && sample.seconds >= end - endWindow
            && ahead(sample) > ahead(last))
            last = sample;
    }
    if (last.seconds - first.seconds < shortest)
        return part;
    return {(last.bytes - first.bytes) / (last.seconds - first.seconds), first.seconds, true};
}

LevelledRate::Reading LevelledRate::levelBeforeDip(const std::vector<Sample> &samples, Reading part,
                                                   double end, double shortest) const
{
    if (!part.levelled || burstEnd(samples) > 0)
        return part;
    const Sample from{part.fromSeconds, bytesAt(samples, part.fromSeconds)};
    const auto level = [&](double to) {
        const double middle = (from.seconds + to) / 2;
        const double atMiddle = bytesAt(samples, middle);
        const double first = (atMiddle - from.bytes) / (middle - from.seconds);
        const double second = (bytesAt(samples, to) - atMiddle) / (to - middle);
        return second >= (1 - m_tuning.tolerance) * first;
    };
    if (level(end))
        return part;
    for (auto last = samples.rbegin(); last != samples.rend(); ++last) {
        if (last->seconds >= end)
            continue;
        if (last->seconds - from.seconds < shortest)
            break;
        if (level(last->seconds))
            return {(last->bytes - from.bytes) / (last->seconds - from.seconds), from.seconds,
                    true};
    }
    return part;
}

LevelledRate::Reading LevelledRate::keptUnderHull(const std::vector<Sample> &samples,
                                                  Reading part) const
{
    if (!part.levelled)
        return part;
    const double end = samples.back().seconds;
    const double window = m_tuning.minimumSeconds;
    const auto rampEnd = std::ranges::find_if(samples, [&](const Sample &sample) {
        return sample.seconds + window <= end
               && bytesAt(samples, sample.seconds + window) - sample.bytes
                      >= (1 - m_tuning.tolerance) * part.bytesPerSecond * window;
    });
    if (rampEnd == samples.end())
        return part;
    // The upper hull, left to right: a sample on or under the chord between its neighbours
    // on the hull is no corner of it.
    std::vector<Sample> hull;
    for (auto sample = rampEnd; sample != samples.end(); ++sample) {
        while (hull.size() >= 2) {
            const Sample &a = hull[hull.size() - 2];
            const Sample &b = hull.back();
            if ((b.bytes - a.bytes) * (sample->seconds - a.seconds)
                > (sample->bytes - a.bytes) * (b.seconds - a.seconds))
                break;
            hull.pop_back();
        }
        hull.push_back(*sample);
    }
    const double middle = (rampEnd->seconds + end) / 2;
    const auto after =
        std::ranges::find_if(hull, [&](const Sample &corner) { return corner.seconds >= middle; });
    if (after == hull.begin() || after == hull.end())
        return part;
    const Sample &before = *(after - 1);
    const double kept = (after->bytes - before.bytes) / (after->seconds - before.seconds);
    if (!(kept < part.bytesPerSecond))
        return part;
    // Bytes held back come in lumps; a count that slowed and lumped less lost the time.
    for (size_t k = 1; k < samples.size() && samples[k].seconds <= after->seconds; ++k)
        if (samples[k - 1].seconds >= before.seconds
            && tickRate(samples, k) >= hullLumpShare * kept)
            return {kept, before.seconds, true};
    return part;
}

LevelledRate::Reading LevelledRate::reading(double span, qint64 bytes, bool received) const
{
    if (!(span > 0) || bytes <= 0)
        return {};
    // The count starts at nothing and ends with the phase's total.
    std::vector<Sample> samples{{0, 0}};
    for (const Sample &sample : m_samples)
        if (sample.seconds < span && sample.bytes <= double(bytes))
            samples.push_back(sample);
    samples.push_back({span, double(bytes)});

    const Reading part = levelled(samples, span, received);
    return received ? keptUnderHull(samples, part) : part;
}

LevelledRate::Reading LevelledRate::levelled(const std::vector<Sample> &samples, double span,
                                             bool received) const
{
    const double bytes = samples.back().bytes;
    // The level part stands for the whole phase's length, stall or not.
    const double shortest = std::max(m_tuning.minimumSeconds, m_tuning.minimumShare * span);
    if (const double end = stallStart(samples, span); end < span) {
        const Reading before = levelPart(samples, end, shortest);
        const double stalled = (bytes - bytesAt(samples, end)) / (span - end);
        if (before.levelled && stalled < m_tuning.stallShare * before.bytesPerSecond)
            return received ? caughtUp(samples, before, end, shortest)
                            : levelBeforeDip(samples, before, end, shortest);
    }
    if (const Reading level = levelPart(samples, span, shortest); level.levelled)
        return received ? caughtUp(samples, level, span, shortest)
                        : levelBeforeDip(samples, level, span, shortest);
    if (received)
        if (const Reading level = levelPart(samples, span, shortest, true); level.levelled)
            return caughtUp(samples, level, span, shortest);
    const double from = burstEnd(samples);
    return {(bytes - bytesAt(samples, from)) / (span - from), from, false};
}
