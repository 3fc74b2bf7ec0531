// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QPalette>

namespace Responsiveness {
enum class Grade;
}

// The two brand colours and the text colours the views draw with.
//
// Qt has no colour that changes with the appearance by itself, so the appearance-dependent
// colours are functions: callers resolve them while painting (or again when the palette
// changes) and so always get the value for the appearance in effect.

// Dark when the palette's window colour is dark; anything else counts as light.
bool isDarkAppearance(const QPalette &palette);
// The same question for the application palette; light when there is no application.
bool isDarkAppearance();

QColor korvelMauve();
QColor korvelMauve(const QPalette &palette);
QColor speedGreen();
QColor speedGreen(const QPalette &palette);

// Appearance-independent shades, created once on first use.
const QColor &korvelMauveFixed();
// Its own shade: it equals neither value of speedGreen().
const QColor &speedGreenFixed();

// The window text colour at full, secondary and tertiary strength. Every view takes its
// text and tint colours from these three, so the strengths live in one place. Secondary
// keeps a contrast of at least 4.5:1 on the window and on a card, in light and dark
// appearances alike: every text that says something uses it or full strength. Tertiary is
// for what only decorates.
QColor labelColor(const QPalette &palette);
QColor secondaryLabelColor(const QPalette &palette);
QColor tertiaryLabelColor(const QPalette &palette);
// The window text colour at any other strength, for faint tints such as the card of a tile.
QColor labelTint(const QPalette &palette, qreal alpha);

// The colour of a responsiveness grade as text on the window: one hue per grade, from the
// speed green of the best to a crimson for the worst, each at least 4.5:1 on the window of
// its appearance.
QColor gradeColor(Responsiveness::Grade grade, const QPalette &palette);

// A colour that follows the appearance, named so that a label can resolve it again
// whenever its palette changes.
enum class ViewColor { label, secondaryLabel, tertiaryLabel, korvelMauve, speedGreen };

QColor resolveColor(ViewColor color, const QPalette &palette);
