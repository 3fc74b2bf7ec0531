// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/GaugeView.h"

#include "settings/FrenchTypography.h"
#include "settings/SpeedSettings.h"
#include "views/GaugeGeometry.h"
#include "views/LabelFactory.h"
#include "views/Palette.h"
#include "views/TabularDigits.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <utility>

namespace {

constexpr qreal ringWidth = 14;
constexpr qreal trackAlpha = 0.12;

void strokeArc(QPainter &painter, const GaugeGeometry &geometry, qreal fraction,
               const QColor &color)
{
    const qreal r = geometry.radius;
    const QRectF circle(geometry.centre.x() - r, geometry.centre.y() - r, 2 * r, 2 * r);
    // From the left end, clockwise over the top: negative spans turn clockwise on screen.
    QPainterPath arc;
    arc.arcMoveTo(circle, 180);
    arc.arcTo(circle, 180, -fraction * 180);
    QPen pen(color, ringWidth, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(arc);
}

// Digits in equal cells: a number that changes five times a second keeps its place.
void drawCentredText(QPainter &painter, const QString &text, const QFont &font, const QColor &color,
                     qreal centreX, qreal lineBottom)
{
    const QFontMetricsF metrics(font, painter.device());
    painter.setFont(font);
    painter.setPen(color);
    const qreal width = TabularDigits::horizontalAdvance(text, metrics);
    TabularDigits::draw(painter, centredTextOrigin(width, metrics, centreX, lineBottom), text);
}

} // namespace

GaugeView::GaugeView(QWidget *parent)
    : QWidget(parent)
{
    registerInterface();
}

void GaugeView::setMbps(double mbps)
{
    m_mbps = mbps;
    m_hasValue = true;
    update();
    valueChanged(this);
}

void GaugeView::clearValue()
{
    m_mbps = 0;
    m_hasValue = false;
    update();
    valueChanged(this);
}

void GaugeView::setCaption(const QString &caption)
{
    // Set again at each progress report: only a change is worth a repaint and an announcement.
    QString typeset = FrenchTypography::typeset(caption);
    if (typeset == m_caption)
        return;
    m_caption = std::move(typeset);
    update();
    nameChanged(this);
}

QSize GaugeView::sizeHint() const
{
    return {250, 132};
}

QString GaugeView::readoutValue() const
{
    if (!m_hasValue)
        return {};
    return SpeedSettings::format(m_mbps) + u' ' + SpeedSettings::unitLabel();
}

void GaugeView::paintEvent(QPaintEvent *)
{
    const std::optional<GaugeGeometry> geometry = gaugeGeometry(size());
    if (!geometry)
        return;

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette &colors = palette();

    strokeArc(painter, *geometry, 1, labelTint(colors, trackAlpha));
    // The scale is always in Mbps, whatever unit the number is shown in.
    if (const std::optional<qreal> fraction = gaugeFraction(m_mbps))
        strokeArc(painter, *geometry, *fraction, speedGreenFixed());

    const qreal centreX = geometry->centre.x();
    if (m_hasValue) {
        drawCentredText(painter, SpeedSettings::format(m_mbps),
                        monospacedDigitSystemFont(30, QFont::Bold), labelColor(colors), centreX,
                        geometry->numberBottom);
        drawCentredText(painter, SpeedSettings::unitLabel(), systemFont(11, QFont::Medium),
                        secondaryLabelColor(colors), centreX, geometry->unitBottom);
    } else {
        drawCentredText(painter, QStringLiteral("\u2014"), systemFont(30, QFont::Normal),
                        tertiaryLabelColor(colors), centreX, geometry->numberBottom);
    }
    if (!m_caption.isEmpty())
        drawCentredText(painter, m_caption,
                        systemFont(11, m_hasValue ? QFont::Normal : QFont::DemiBold),
                        m_hasValue ? secondaryLabelColor(colors) : labelColor(colors), centreX,
                        geometry->captionBottom);
}
