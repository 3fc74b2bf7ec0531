// SPDX-License-Identifier: GPL-3.0-or-later
#include "SettingsWidgets.h"

#include "AppIcon.h"

#include "views/CardView.h"
#include "views/LabelFactory.h"
#include "views/Palette.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QToolButton>

namespace SettingsWidgets {

namespace {

constexpr int cardLeft = 24;
constexpr int cardWidth = 382;
constexpr int buttonGap = 10;
// The controls' text size, like the rows' labels; a text too long for its place is set
// smaller, down to the smallest.
constexpr int controlTextSize = 13;
constexpr int smallestTextSize = 11;
// The space a push button leaves between its text and its border, on each side.
constexpr int buttonPadding = 14;
constexpr int buttonHeight = 30;
// Where the pop-up buttons of the rows end.
constexpr int popUpRight = 390;

// The back button: a chevron in the tint of the window's other corner buttons, drawn again
// when the appearance changes.
class BackButton : public QToolButton
{
public:
    using QToolButton::QToolButton;

    void applyColors() { setIcon(AppIcon::back(secondaryLabelColor(palette()))); }

protected:
    void changeEvent(QEvent *event) override
    {
        QToolButton::changeEvent(event);
        if (event->type() == QEvent::PaletteChange)
            applyColors();
    }
};

// A check box with an outline that stays visible on the settings cards in dark appearances
// too, where the style's own nearly matches the card.
class OutlinedCheckBox : public QCheckBox
{
public:
    using QCheckBox::QCheckBox;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QCheckBox::paintEvent(event);
        QStyleOptionButton option;
        initStyleOption(&option);
        const QRect indicator =
            style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(secondaryLabelColor(palette()), 1));
        painter.drawRoundedRect(QRectF(indicator).adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
    }
};

// Scrolling the view over a pop-up button that has not been given the focus must not change
// a setting on the way.
class WheelGuard : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const auto *widget = qobject_cast<QWidget *>(watched);
        if (event->type() == QEvent::Wheel && widget && !widget->hasFocus()) {
            event->ignore();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

// The maker's link: a borderless button whose text takes the brand mauve of the appearance
// in effect each time it is drawn.
class LinkButton : public QPushButton
{
public:
    using QPushButton::QPushButton;

    QSize sizeHint() const override
    {
        return fontMetrics().size(Qt::TextSingleLine, text()) + QSize(0, 4);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setPen(korvelMauve(palette()));
        painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, text());
        if (hasFocus()) {
            QStyleOptionFocusRect option;
            option.initFrom(this);
            style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
        }
    }
};

// A one-pixel line in a faint label colour, resolved when drawn.
class SeparatorLine : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter(this).fillRect(rect(), labelTint(palette(), 0.15));
    }
};

} // namespace

QToolButton *newBackButton(QWidget *parent)
{
    auto *button = new BackButton(parent);
    button->applyColors();
    return button;
}

QCheckBox *newCheckBox(const QString &title)
{
    return new OutlinedCheckBox(title);
}

QPushButton *newLinkButton(const QString &text)
{
    return new LinkButton(text);
}

QWidget *newSeparatorLine(QWidget *parent)
{
    return new SeparatorLine(parent);
}

// Sets the widget's text at the controls' size, or smaller until its natural width and the
// padding are at most width.
void fitText(QWidget *widget, int width, int padding)
{
    for (int size = controlTextSize; size >= smallestTextSize; --size) {
        widget->setFont(systemFont(size, QFont::Normal));
        if (widget->sizeHint().width() + padding <= width)
            return;
    }
}

// Push buttons side by side from the cards' left edge at y, each with room around its text,
// their texts at one size, small enough for the row to fit the cards' width.
QList<QPushButton *> placeButtonRow(QWidget *view, int y,
                                    const QList<std::pair<QString, const char *>> &buttons)
{
    QList<QPushButton *> row;
    for (const auto &[text, name] : buttons) {
        auto *button = new QPushButton(text, view);
        button->setObjectName(QLatin1String(name));
        row.append(button);
    }
    const auto widthOf = [](const QPushButton *button) {
        return std::max(button->sizeHint().width(),
                        button->fontMetrics().horizontalAdvance(button->text())
                            + 2 * buttonPadding);
    };
    for (int size = controlTextSize; size >= smallestTextSize; --size) {
        int width = -buttonGap;
        for (QPushButton *button : row) {
            button->setFont(systemFont(size, QFont::Normal));
            width += widthOf(button) + buttonGap;
        }
        if (width <= cardWidth)
            break;
    }
    int x = cardLeft;
    for (QPushButton *button : row) {
        button->setGeometry(x, y, widthOf(button),
                            std::max(button->sizeHint().height(), buttonHeight));
        x += button->width() + buttonGap;
    }
    return row;
}

// A label of the view, left-aligned, its middle on centreY.
QLabel *placeLabel(QLabel *label, QWidget *view, int x, int centreY)
{
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(label, view, x, centreY);
    label->move(x, centreY - label->height() / 2);
    return label;
}

void addCard(QWidget *view, const QRect &frame)
{
    auto *card = new CardView(view);
    card->setGeometry(frame);
}

QRect cardFrame(int top, int rows)
{
    return QRect(cardLeft, top, cardWidth,
                 2 * cardPadding + rows * rowHeight + (rows - 1) * rowGap);
}

QComboBox *addPopUp(QWidget *view, int top, int width, const char *name)
{
    auto *popUp = new QComboBox(view);
    popUp->setObjectName(QLatin1String(name));
    popUp->setFont(systemFont(controlTextSize, QFont::Normal));
    popUp->setGeometry(popUpRight - width, top, width, rowHeight);
    popUp->setFocusPolicy(Qt::StrongFocus);
    popUp->installEventFilter(new WheelGuard(popUp));
    return popUp;
}

} // namespace SettingsWidgets
