// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

// Our own pictures: the application icon and the icons of the corner buttons.
namespace AppIcon {

// The application icon, resources/tachora.svg.
QIcon application();
// Rendered at size × devicePixelRatio device pixels, for that ratio.
QPixmap applicationPixmap(int size, qreal devicePixelRatio);

// The icon theme's settings icon, or a gear drawn in the given colour.
QIcon settings(const QColor &color);

// The icon theme's menu icon, or three bars drawn in the given colour.
QIcon menu(const QColor &color);

// The icon theme's symbolic back icon, or a chevron drawn in the given colour.
QIcon back(const QColor &color);

} // namespace AppIcon
