// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointF>
#include <QString>
#include <QStringView>

class QFont;
class QFontMetricsF;
class QPainter;
class QPainterPath;

// Text whose digits each take a cell as wide as the font's widest digit, centred in it, while
// every other character keeps its own advance. With proportional digits (Cantarell, GNOME's
// default, has a '1' much narrower than its '0') a number that changes while it is shown
// would otherwise move sideways at each new value, and the lines of a table of numbers would
// not keep their digits in columns. Qt 6.4 cannot switch on a font's tabular figures, so the
// digits are placed one by one. For one line of text; kerning between a digit and its
// neighbours is given up.
namespace TabularDigits {

// The advance of the widest of the digits 0 to 9.
qreal cellWidth(const QFontMetricsF &metrics);

// The width the text takes when laid out this way.
qreal horizontalAdvance(QStringView text, const QFontMetricsF &metrics);

// Draws the text with the painter's font and pen, its baseline starting at origin.
void draw(QPainter &painter, const QPointF &origin, QStringView text);

// Adds the outlines of the text in font to path, its baseline starting at origin.
void addText(QPainterPath &path, const QPointF &origin, const QFont &font, QStringView text);

} // namespace TabularDigits
