// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/Palette.h"

#include "engine/Responsiveness.h"

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

QColor gradeColor(Responsiveness::Grade grade, const QPalette &palette)
{
    using Responsiveness::Grade;
    // The speed green itself is too light for text on a light window: its darker shade.
    const bool dark = isDarkAppearance(palette);
    switch (grade) {
    case Grade::aPlus:
        return dark ? greenFor(true) : QColor(0x16, 0x65, 0x34);
    case Grade::a:
        return dark ? QColor(0xa3, 0xe6, 0x35) : QColor(0x3f, 0x62, 0x12);
    case Grade::b:
        return dark ? QColor(0xfd, 0xe0, 0x47) : QColor(0x85, 0x4d, 0x0e);
    case Grade::c:
        return dark ? QColor(0xfd, 0xba, 0x74) : QColor(0x9a, 0x34, 0x12);
    case Grade::d:
        return dark ? QColor(0xfc, 0xa5, 0xa5) : QColor(0xb9, 0x1c, 0x1c);
    case Grade::f:
        return dark ? QColor(0xff, 0x8f, 0xa3) : QColor(0x9f, 0x12, 0x39);
    }
    return labelColor(palette);
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
