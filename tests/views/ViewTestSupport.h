#pragma once

#include <QApplication>
#include <QFontInfo>
#include <QImage>
#include <QWidget>

#include <cstdlib>

// Fixed palettes, a fixed font and pixel probes for the view tests.
namespace ViewTest {

inline QPalette palette(const QColor &window, const QColor &text)
{
    QPalette palette(text, window);
    palette.setColor(QPalette::WindowText, text);
    return palette;
}

inline const QColor lightWindow(236, 236, 236);

inline QPalette lightPalette()
{
    return palette(lightWindow, Qt::black);
}

inline QPalette darkPalette()
{
    return palette(QColor(40, 40, 40), Qt::white);
}

// The pixel tests measure text, so they render with one font whatever the machine's default
// is. False when that font is missing.
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

// What `color` at `alpha` looks like over `background`.
inline QColor blend(const QColor &background, const QColor &color, qreal alpha)
{
    auto mix = [&](int under, int over) { return qRound(under + (over - under) * alpha); };
    return QColor(mix(background.red(), color.red()), mix(background.green(), color.green()),
                  mix(background.blue(), color.blue()));
}

// The bounds, within `region`, of every pixel further than `threshold` from the background.
inline QRect inkBounds(const QImage &image, const QRect &region, const QColor &background,
                       int threshold)
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
