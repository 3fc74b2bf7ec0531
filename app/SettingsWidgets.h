// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QRect>
#include <QString>
#include <QWidget>

#include <utility>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QToolButton;

// The settings view's building blocks: its controls as they look on its cards, in every
// appearance, and where they go.
namespace SettingsWidgets {

inline constexpr int rowX = 40;
// The right edge of the cards' content: a check box's text ends before it.
inline constexpr int rowRight = 398;
// Every row of a card is as high, a check box as a pop-up button, and its rows are as far
// apart: the page reads as one list.
inline constexpr int rowHeight = 28;
inline constexpr int rowGap = 4;
// The space above a card's first row and below its last.
inline constexpr int cardPadding = 6;

// A card of the cards' width whose top is at top, as high as its rows.
QRect cardFrame(int top, int rows);
// The top of a card's row, the first being 0.
constexpr int rowTop(int cardTop, int row)
{
    return cardTop + cardPadding + row * (rowHeight + rowGap);
}

// The back button: a chevron in the tint of the window's other corner buttons, drawn again
// when the appearance changes.
QToolButton *newBackButton(QWidget *parent);
// A check box with an outline that stays visible on the cards in dark appearances too, where
// the style's own nearly matches the card.
QCheckBox *newCheckBox(const QString &title);
// The maker's link: a borderless button whose text takes the brand mauve of the appearance
// in effect each time it is drawn.
QPushButton *newLinkButton(const QString &text);
// A one-pixel line in a faint label colour, resolved when drawn.
QWidget *newSeparatorLine(QWidget *parent);

// widget in view at its fitted size, its top left at (x, y).
template <class Widget>
Widget *place(Widget *widget, QWidget *view, int x, int y, const char *name = nullptr)
{
    widget->setParent(view);
    if (name)
        widget->setObjectName(QLatin1String(name));
    widget->adjustSize();
    widget->move(x, y);
    return widget;
}

// Sets the widget's text at the controls' size, or smaller until its natural width and the
// padding are at most width.
void fitText(QWidget *widget, int width, int padding = 0);

// Push buttons side by side from the cards' left edge at y, each with room around its text,
// their texts at one size, small enough for the row to fit the cards' width.
QList<QPushButton *> placeButtonRow(QWidget *view, int y,
                                    const QList<std::pair<QString, const char *>> &buttons);

// A label of the view, left-aligned, its middle on centreY.
QLabel *placeLabel(QLabel *label, QWidget *view, int x, int centreY);
// A row's control at its fitted width, as high as every row, its top left at (x, top).
template <class Widget>
Widget *placeRow(Widget *widget, QWidget *view, int x, int top, const char *name)
{
    place(widget, view, x, top, name)->resize(widget->width(), rowHeight);
    return widget;
}

void addCard(QWidget *view, const QRect &frame);

// A pop-up button of a row, its right edge on the cards' content's, that scrolling the view
// over does not change unless it has the focus.
QComboBox *addPopUp(QWidget *view, int top, int width, const char *name);

} // namespace SettingsWidgets
