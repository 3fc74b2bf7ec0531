// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/StreamTiming.h"

#include <algorithm>
#include <cmath>

namespace StreamTiming {

double roundTripsToOpen(double windowBytes)
{
    return windowBytes > freshWindowBytes ? std::log2(windowBytes / freshWindowBytes) : 0;
}

qint64 nextSize(const QList<qint64> &sizes, int sent, double bytesPerSecond, double secondsLeft)
{
    if (sizes.isEmpty())
        return 0;
    const qint64 step = sizes.at(std::clamp<qsizetype>(sent, 0, sizes.size() - 1));
    const double largest = double(*std::ranges::max_element(sizes));
    return std::max(step, qint64(std::min(2 * bytesPerSecond * secondsLeft, largest)));
}

double uploadLead(qint64 blockBytes, double toFirstData, double toFirstByte, qint64 moved,
                  double since)
{
    if (moved <= 0 || !(since > 0))
        return toFirstData;
    const double eighthOnTheLink = double(blockBytes) / 8 / (double(moved) / since);
    return std::max(toFirstData - eighthOnTheLink, toFirstByte);
}

bool nextIsDue(double remainingBytes, double bytesPerSecond, double lead, bool upload,
               double checkSeconds)
{
    if (!(bytesPerSecond > 0) || lead < 0)
        return false;
    const double ramp = upload ? 0 : roundTripsToOpen(bytesPerSecond * lead);
    return remainingBytes / bytesPerSecond <= (2 + ramp) * lead + 2 * checkSeconds;
}

bool waitsForConnection(double nextBytes, double bytesPerSecond, double lead)
{
    return bytesPerSecond > 0 && lead > 0 && nextBytes / bytesPerSecond >= reuseLeads * lead;
}

Lagging lagging(double streamRate, double bytesSinceEnd, double sinceEnd, double lead,
                double leastWait)
{
    constexpr double idleKeepsWindow = 0.2;
    if (sinceEnd < std::clamp(2 * lead, leastWait, idleKeepsWindow))
        return Lagging::wait;
    return bytesSinceEnd / sinceEnd >= streamRate / 2 ? Lagging::caughtUp : Lagging::refill;
}

} // namespace StreamTiming
