// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppIcon.h"

#include "views/PaintedIcon.h"

#include <QPainter>
#include <QPainterPath>

namespace {

// The small icons are drawn on a 16 x 16 grid of this many pixels per unit.
using PaintIcon = void (*)(QPainter &painter, qreal unit, const QColor &color);

void paintGear(QPainter &painter, qreal unit, const QColor &color)
{
    const QPointF centre(8 * unit, 8 * unit);
    QPainterPath gear;
    gear.addEllipse(centre, 5.2 * unit, 5.2 * unit);
    for (int tooth = 0; tooth < 8; ++tooth) {
        QPainterPath path;
        path.addRoundedRect(QRectF(-1.3 * unit, -7.5 * unit, 2.6 * unit, 4 * unit), 0.6 * unit,
                            0.6 * unit);
        QTransform turn;
        turn.translate(centre.x(), centre.y());
        turn.rotate(tooth * 45);
        gear = gear.united(turn.map(path));
    }
    QPainterPath hole;
    hole.addEllipse(centre, 2.2 * unit, 2.2 * unit);
    painter.fillPath(gear.subtracted(hole), color);
}

void paintMenu(QPainter &painter, qreal unit, const QColor &color)
{
    for (const qreal y : {3.0, 7.0, 11.0})
        painter.fillRect(QRectF(2 * unit, y * unit, 12 * unit, 2 * unit), color);
}

// The left-pointing chevron of a back button.
void paintChevron(QPainter &painter, qreal unit, const QColor &color)
{
    QPainterPath chevron;
    chevron.moveTo(10.5 * unit, 2.5 * unit);
    chevron.lineTo(5 * unit, 8 * unit);
    chevron.lineTo(10.5 * unit, 13.5 * unit);
    painter.strokePath(chevron, QPen(color, 2 * unit, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
}

// Ours, drawn at whatever size is asked, never the icon theme's: a theme's icon may be in full
// colour beside our flat ones, or drawn for another background than our palette's.
QIcon painted(PaintIcon paint, const QColor &color)
{
    return PaintedIcon::make(
        [paint, color](QPainter &painter, const QRectF &square, QIcon::Mode mode) {
            // Disabled, it is drawn at a third of its strength.
            QColor tint = color;
            if (mode == QIcon::Disabled)
                tint.setAlphaF(tint.alphaF() / 3);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.translate(square.topLeft());
            paint(painter, square.width() / 16.0, tint);
        });
}

} // namespace

namespace AppIcon {

QIcon application()
{
    return QIcon(QStringLiteral(":/tachora/tachora.svg"));
}

QPixmap applicationPixmap(int size, qreal devicePixelRatio)
{
    // QIcon::pixmap(int) would take the application's own ratio on top of ours.
    return application().pixmap(QSize(size, size), devicePixelRatio);
}

QIcon settings(const QColor &color)
{
    return painted(paintGear, color);
}

QIcon menu(const QColor &color)
{
    return painted(paintMenu, color);
}

QIcon back(const QColor &color)
{
    return painted(paintChevron, color);
}

} // namespace AppIcon
