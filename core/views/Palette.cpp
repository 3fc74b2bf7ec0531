// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/Palette.h"

#include <QGuiApplication>

namespace {

QColor srgb(float red, float green, float blue)
{
    return QColor::fromRgbF(red, green, blue, 1.0f);
}

QColor mauveFor(bool dark)
{
    return dark ? srgb(0.686f, 0.573f, 0.992f) : srgb(0.486f, 0.227f, 0.929f);
}

QColor greenFor(bool dark)
{
    return dark ? srgb(0.29f, 0.871f, 0.502f) : srgb(0.086f, 0.639f, 0.29f);
}

} // namespace

bool isDarkAppearance(const QPalette &palette)
{
    return palette.color(QPalette::Active, QPalette::Window).lightnessF() < 0.5f;
}

bool isDarkAppearance()
{
    return qGuiApp && isDarkAppearance(QGuiApplication::palette());
}

QColor korvelMauve(const QPalette &palette)
{
    return mauveFor(isDarkAppearance(palette));
}

QColor korvelMauve()
{
    return mauveFor(isDarkAppearance());
}

QColor speedGreen(const QPalette &palette)
{
    return greenFor(isDarkAppearance(palette));
}

QColor speedGreen()
{
    return greenFor(isDarkAppearance());
}

const QColor &korvelMauveFixed()
{
    static const QColor color = mauveFor(false);
    return color;
}

const QColor &speedGreenFixed()
{
    static const QColor color = srgb(0.133f, 0.773f, 0.369f);
    return color;
}

QColor labelTint(const QPalette &palette, qreal alpha)
{
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(float(alpha));
    return color;
}

QColor labelColor(const QPalette &palette)
{
    return labelTint(palette, 1.0);
}

QColor secondaryLabelColor(const QPalette &palette)
{
    return labelTint(palette, 0.68);
}

QColor tertiaryLabelColor(const QPalette &palette)
{
    return labelTint(palette, 0.30);
}

QColor resolveColor(ViewColor color, const QPalette &palette)
{
    switch (color) {
    case ViewColor::label:
        return labelColor(palette);
    case ViewColor::secondaryLabel:
        return secondaryLabelColor(palette);
    case ViewColor::tertiaryLabel:
        return tertiaryLabelColor(palette);
    case ViewColor::korvelMauve:
        return korvelMauve(palette);
    case ViewColor::speedGreen:
        return speedGreen(palette);
    }
    return labelColor(palette);
}
