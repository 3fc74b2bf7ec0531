// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "views/Palette.h"

#include <QColor>
#include <QFont>
#include <QString>

class QLabel;

// Font sizes here are in the same logical pixels as every frame and drawing position of the
// views, so that a text always fits the box laid out for it whatever the screen's DPI.
// Weights are QFont's: Normal (400), Medium (500), DemiBold (600), Bold (700).

// The application font at the given size and weight.
QFont systemFont(qreal size, QFont::Weight weight);

// The font for numbers that change while they are shown. It is the application font: where
// its digits are not all equally wide, drawing with TabularDigits (or a label given
// setTabularDigits) keeps them in place.
QFont monospacedDigitSystemFont(qreal size, QFont::Weight weight);

// A new static, centred, single-line label showing `text`, in French typography, as plain text
// (never as markup, since texts may come from outside), in systemFont(size, weight). The caller
// owns and places it. With a ViewColor, the text colour is resolved again whenever the label's
// palette changes.
QLabel *makeLabel(const QString &text, qreal size, QFont::Weight weight, ViewColor color);
QLabel *makeLabel(const QString &text, qreal size, QFont::Weight weight, const QColor &color);

// Makes a label from makeLabel draw its digits in cells of its font's widest digit
// (TabularDigits), so that a number does not move sideways when it changes and the digits of
// successive lines stay in columns. Its size hint follows; word wrap is not supported. Other
// labels are left as they are.
void setTabularDigits(QLabel *label);

// Gives a label from makeLabel another colour that follows the appearance. Other labels are
// left as they are.
void setLabelColor(QLabel *label, ViewColor color);
