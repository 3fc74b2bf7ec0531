// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/GaugeGeometry.h"

#include <QFontMetricsF>

#include <algorithm>
#include <cmath>

namespace {

// The ring's centre, and the origin of the texts placed relative to it, sit this far above
// the bottom edge.
constexpr qreal baseHeight = 22;
constexpr qreal minimumRadius = 20;
constexpr qreal unitDrop = 16;
constexpr qreal smallestFraction = 0.004;

} // namespace

std::optional<GaugeGeometry> gaugeGeometry(const QSizeF &size)
{
    const qreal radius = std::min(size.width() * 0.5 - 24, size.height() - 44);
    if (!(radius > minimumRadius))
        return std::nullopt;

    const qreal bottom = size.height();
    const qreal numberHeight = radius * 0.34 + baseHeight;
    GaugeGeometry geometry;
    geometry.centre = QPointF(size.width() / 2, bottom - baseHeight);
    geometry.radius = radius;
    geometry.numberBottom = bottom - numberHeight;
    geometry.unitBottom = bottom - (numberHeight - unitDrop);
    geometry.captionBottom = bottom;
    return geometry;
}

std::optional<qreal> gaugeFraction(double mbps)
{
    const double t = std::log10(std::max(mbps, 0.0) + 1) / 3;
    if (t >= 1)
        return 1.0;
    if (t > smallestFraction)
        return t;
    return std::nullopt;
}

QPointF centredTextOrigin(qreal width, const QFontMetricsF &metrics, qreal centreX,
                          qreal lineBottom)
{
    return QPointF(centreX - width / 2, lineBottom - metrics.descent());
}
