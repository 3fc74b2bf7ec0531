// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointF>
#include <QSizeF>

#include <optional>

class QFontMetricsF;

// Where the gauge puts its ring and texts for a widget size, in Qt coordinates (origin at the
// top left). Kept apart from the painting so that it can be checked exactly.
struct GaugeGeometry
{
    // The centre of the ring: half way across, 22 px above the bottom edge.
    QPointF centre;
    qreal radius = 0;
    // The bottom of each text's line box; its horizontal centre is centre.x().
    qreal numberBottom = 0;
    qreal unitBottom = 0;
    qreal captionBottom = 0;
};

// The geometry for a widget of this size, or nothing when the ring would be 20 px or smaller:
// the gauge then draws nothing at all.
std::optional<GaugeGeometry> gaugeGeometry(const QSizeF &size);

// How much of the half ring the progress arc covers for a rate in Mbps: three decades, so
// 9 Mbps gives a third and 999 Mbps or more the whole. Nothing for rates too small to show
// (below about 0.028 Mbps), negative ones and NaN.
std::optional<qreal> gaugeFraction(double mbps);

// The baseline origin at which to draw a text `width` wide so that it is centred on centreX and
// its line box ends at lineBottom, with the metrics it will be drawn with.
QPointF centredTextOrigin(qreal width, const QFontMetricsF &metrics, qreal centreX,
                          qreal lineBottom);
