// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/LabelFactory.h"

#include "settings/FrenchTypography.h"
#include "views/TabularDigits.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetricsF>
#include <QLabel>
#include <QPainter>
#include <QStyle>

#include <algorithm>
#include <cmath>
#include <optional>

namespace {

// A label whose text colour is derived from the palette it inherits. Setting the colour
// overrides the label's own text colour, so it is derived from the parent's palette and set
// again whenever that palette, or the application's, changes.
class ViewLabel : public QLabel
{
public:
    ViewLabel(const QString &text, std::optional<ViewColor> dynamicColor, const QColor &fixedColor)
        : QLabel(text)
        , m_dynamicColor(dynamicColor)
        , m_fixedColor(fixedColor)
    {
        applyColor();
    }

    void setTabularDigits()
    {
        m_tabular = true;
        updateGeometry();
        update();
    }

    void setDynamicColor(ViewColor color)
    {
        m_dynamicColor = color;
        applyColor();
    }

    QSize sizeHint() const override
    {
        if (!m_tabular)
            return QLabel::sizeHint();
        const QFontMetricsF metrics(font(), this);
        const QStringList lines = text().split(u'\n');
        qreal width = 0;
        for (const QString &line : lines)
            width = std::max(width, TabularDigits::horizontalAdvance(line, metrics));
        const QMargins margins =
            contentsMargins() + QMargins(margin(), margin(), margin(), margin());
        return QSize(qCeil(width), qCeil(lines.size() * metrics.lineSpacing())).grownBy(margins);
    }

    QSize minimumSizeHint() const override
    {
        return m_tabular ? sizeHint() : QLabel::minimumSizeHint();
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        if (!m_tabular) {
            QLabel::paintEvent(event);
            return;
        }
        QPainter painter(this);
        drawFrame(&painter);
        painter.setFont(font());
        painter.setPen(palette().color(foregroundRole()));
        const QFontMetricsF metrics(font(), this);
        const QRectF area =
            contentsRect().marginsRemoved(QMargins(margin(), margin(), margin(), margin()));
        const QStringList lines = text().split(u'\n');
        const Qt::Alignment align = QStyle::visualAlignment(layoutDirection(), alignment());
        const qreal height = lines.size() * metrics.lineSpacing();
        qreal top = area.top();
        if (align & Qt::AlignBottom)
            top = area.bottom() - height;
        else if (align & Qt::AlignVCenter)
            top = area.center().y() - height / 2;
        for (const QString &line : lines) {
            const qreal width = TabularDigits::horizontalAdvance(line, metrics);
            qreal x = area.left();
            if (align & Qt::AlignRight)
                x = area.right() - width;
            else if (align & Qt::AlignHCenter)
                x = area.center().x() - width / 2;
            TabularDigits::draw(painter, QPointF(x, top + metrics.ascent()), line);
            top += metrics.lineSpacing();
        }
    }

    void changeEvent(QEvent *event) override
    {
        QLabel::changeEvent(event);
        if (event->type() == QEvent::PaletteChange
            || event->type() == QEvent::ApplicationPaletteChange)
            applyColor();
    }

    bool event(QEvent *event) override
    {
        const bool handled = QLabel::event(event);
        if (event->type() == QEvent::ParentChange)
            applyColor();
        return handled;
    }

private:
    void applyColor()
    {
        if (m_applying)
            return;
        m_applying = true;
        const QPalette inherited =
            parentWidget() ? parentWidget()->palette() : QApplication::palette(this);
        const QColor color =
            m_dynamicColor ? resolveColor(*m_dynamicColor, inherited) : m_fixedColor;
        // Only the text colour is set on the label, so every other role keeps following
        // the parent.
        QPalette own;
        own.setColor(QPalette::WindowText, color);
        setPalette(own);
        m_applying = false;
    }

    std::optional<ViewColor> m_dynamicColor;
    QColor m_fixedColor;
    bool m_applying = false;
    bool m_tabular = false;
};

QLabel *makeViewLabel(const QString &text, qreal size, QFont::Weight weight,
                      std::optional<ViewColor> dynamicColor, const QColor &fixedColor)
{
    auto *label = new ViewLabel(FrenchTypography::typeset(text), dynamicColor, fixedColor);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    label->setWordWrap(false);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setFont(systemFont(size, weight));
    return label;
}

} // namespace

QFont systemFont(qreal size, QFont::Weight weight)
{
    QFont font = QApplication::font();
    font.setPixelSize(qMax(1, qRound(size)));
    font.setWeight(weight);
    return font;
}

QFont monospacedDigitSystemFont(qreal size, QFont::Weight weight)
{
    return systemFont(size, weight);
}

QLabel *makeLabel(const QString &text, qreal size, QFont::Weight weight, ViewColor color)
{
    return makeViewLabel(text, size, weight, color, QColor());
}

QLabel *makeLabel(const QString &text, qreal size, QFont::Weight weight, const QColor &color)
{
    return makeViewLabel(text, size, weight, std::nullopt, color);
}

void setTabularDigits(QLabel *label)
{
    if (auto *viewLabel = dynamic_cast<ViewLabel *>(label))
        viewLabel->setTabularDigits();
}

void setLabelColor(QLabel *label, ViewColor color)
{
    if (auto *viewLabel = dynamic_cast<ViewLabel *>(label))
        viewLabel->setDynamicColor(color);
}
