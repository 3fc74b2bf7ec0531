#pragma once

#include <QApplication>
#include <QColor>
#include <QFontInfo>
#include <QImage>
#include <QPalette>
#include <QRect>
#include <QWidget>

#include <cstdlib>

// Helpers shared by the view tests: fixed palettes, a fixed font and pixel probes.
namespace ViewTest {

inline QPalette palette(const QColor &window, const QColor &text)
{
    QPalette palette(text, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Window, window);
    return palette;
}

inline QPalette lightPalette()
{
    return palette(QColor(236, 236, 236), QColor(0, 0, 0));
}

inline QPalette darkPalette()
{
    return palette(QColor(40, 40, 40), QColor(255, 255, 255));
}

// Pixel tests measure text, so they all render with one font, whatever the machine's
// default is. Returns false when that font is missing.
inline bool useDejaVuSans()
{
    QApplication::setFont(QFont(QStringLiteral("DejaVu Sans")));
    return QFontInfo(QApplication::font()).family() == QLatin1String("DejaVu Sans");
}

inline QImage render(QWidget &widget)
{
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

inline int distance(const QColor &a, const QColor &b)
{
    return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green())
           + std::abs(a.blue() - b.blue());
}

inline bool near(const QColor &a, const QColor &b, int tolerance = 12)
{
    return distance(a, b) <= tolerance;
}

// What `color` at `alpha` looks like drawn over `background`.
inline QColor blend(const QColor &background, const QColor &color, qreal alpha)
{
    auto mix = [&](int under, int over) { return qRound(under + (over - under) * alpha); };
    return QColor(mix(background.red(), color.red()), mix(background.green(), color.green()),
                  mix(background.blue(), color.blue()));
}

// The smallest rectangle within `region` holding every pixel that differs from the
// background by more than `threshold`; empty when there is none.
inline QRect inkBounds(const QImage &image, const QRect &region, const QColor &background,
                       int threshold = 60)
{
    QRect bounds;
    const QRect area = region.intersected(image.rect());
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (distance(image.pixelColor(x, y), background) > threshold)
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

} // namespace ViewTest
