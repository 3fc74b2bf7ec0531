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

// The font for numbers that change while they are shown: their digits must all be equally
// wide so that the text does not jitter. The application font is used as it is; the fonts we
// ship and test with (DejaVu Sans) have tabular digits by default.
QFont monospacedDigitSystemFont(qreal size, QFont::Weight weight);

// A new static, centred, single-line label showing `text` as plain text (never as markup, since
// texts may come from outside), in systemFont(size, weight). The caller owns and places it.
// With a ViewColor, the text colour is resolved again whenever the label's palette changes.
QLabel *makeLabel(const QString &text, qreal size, QFont::Weight weight, ViewColor color);
QLabel *makeLabel(const QString &text, qreal size, QFont::Weight weight, const QColor &color);
