// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QImage>
#include <QRect>
#include <QWidget>

#include <algorithm>
#include <cmath>

// Measures on rendered pictures: how light a colour is, how two stand apart, where the ink
// of a region lies.
namespace Pixels {

// Relative luminance, as the contrast ratio of readable text uses it (0 black, 1 white).
inline qreal luminance(const QColor &color)
{
    const auto linear = [](float v) {
        return v <= 0.04045f ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF())
           + 0.0722 * linear(color.blueF());
}

// The contrast ratio of two colours, from 1 to 21.
inline qreal contrast(const QColor &a, const QColor &b)
{
    const auto [darker, lighter] = std::minmax({luminance(a), luminance(b)});
    return (lighter + 0.05) / (darker + 0.05);
}

// The sum of the differences of the three channels.
inline int distance(const QColor &a, const QColor &b)
{
    return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green())
           + std::abs(a.blue() - b.blue());
}

// The pixels of a region (the whole image when it is empty) that pass a test of their colour:
// their bounds and their number.
struct Ink
{
    QRect bounds;
    int count = 0;
};
template <typename Test>
Ink ink(const QImage &image, Test passes, const QRect &region = {})
{
    const QRect area = region.isEmpty() ? image.rect() : region & image.rect();
    Ink ink;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (passes(image.pixelColor(x, y))) {
                ink.bounds |= QRect(x, y, 1, 1);
                ++ink.count;
            }
    return ink;
}

// The test of ink() for pixels further than threshold (distance()) from the background.
inline auto apartFrom(const QColor &background, int threshold)
{
    return [=](const QColor &color) { return distance(color, background) > threshold; };
}

// The contrast ratio between the lightest and the darkest pixel of the region.
inline qreal contrast(const QImage &image, const QRect &region)
{
    qreal darkest = 1, lightest = 0;
    ink(
        image,
        [&](const QColor &color) {
            const qreal l = luminance(color);
            darkest = std::min(darkest, l), lightest = std::max(lightest, l);
            return false;
        },
        region);
    return (lightest + 0.05) / (darkest + 0.05);
}

// Where a widget shows in its window.
inline QRect placeIn(const QWidget *window, const QWidget *widget)
{
    return QRect(widget->mapTo(window, QPoint()), widget->size());
}

} // namespace Pixels
