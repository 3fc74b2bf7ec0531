// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>
#include <QImage>
#include <QPalette>
#include <QRectF>
#include <QString>

#include <optional>

class QPainter;

// The tray item's picture: a speedometer glyph, or the live text in a dark badge. A tray
// shows an icon rather than a title, and nothing tells us the panel's colour (the theme's
// palette does not: GNOME's panel is dark under a light theme), so both carry their own
// contrast: the glyph an outline, the text its badge.
namespace StatusItemIcon {

// Square sizes the icon offers to trays that take a list of pictures: XEmbed trays ask for
// 20 or 22, HiDPI ones for twice that. Any other size asked is drawn at that size, never
// scaled from one of these.
inline constexpr int sizes[] = {16, 18, 20, 22, 24, 32, 40, 44, 48, 64};

// No live text: the glyph in the palette's window text colour, outlined in black or white,
// whichever is further from it. A present text, even an empty one, gives the badge, whose
// colours are fixed.
QIcon icon(const std::optional<QString> &liveText, const QPalette &palette);

QImage render(const std::optional<QString> &liveText, const QPalette &palette, int size);

// Draws within rect, which should be square; nothing is drawn outside it.
void paint(QPainter &painter, const QRectF &rect, const std::optional<QString> &liveText,
           const QPalette &palette);

} // namespace StatusItemIcon
