// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/SpeedTestMath.h"

#include <algorithm>

namespace SpeedTestMath {

std::optional<double> medianLatency(QList<double> samples)
{
    if (samples.size() < minimumLatencySamples)
        return std::nullopt;
    std::sort(samples.begin(), samples.end());
    return samples.at(samples.size() / 2);
}

double rate(qint64 bytes, double seconds, double minimumSeconds)
{
    if (!(seconds > std::max(minimumSeconds, 0.0)) || bytes < 1)
        return 0.0;
    return double(bytes) * 8.0 / seconds / 1000000.0;
}

} // namespace SpeedTestMath
