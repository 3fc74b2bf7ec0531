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

// The corner buttons' icons, drawn in the given colour whatever the desktop's icon theme: a
// gear, three bars for the menu, a back chevron.
QIcon settings(const QColor &color);
QIcon menu(const QColor &color);
QIcon back(const QColor &color);

} // namespace AppIcon
