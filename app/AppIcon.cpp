#include "AppIcon.h"

#include "views/Palette.h"

#include <QImageReader>
#include <QPainter>
#include <QPainterPath>

namespace {

constexpr int iconSizes[] = {16, 24, 32, 48, 64, 92, 128, 184, 256};

bool canReadSvg()
{
    return QImageReader::supportedImageFormats().contains("svg");
}

// resources/tachora.svg, drawn on a 256 x 256 grid.
void paintApplication(QPainter &painter)
{
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(korvelMauveFixed());
    painter.drawRoundedRect(QRectF(16, 16, 224, 224), 52, 52);

    const QRectF ring(48, 76, 160, 160);
    const auto arc = [&](qreal span, const QColor &color, qreal width) {
        QPainterPath path;
        path.arcMoveTo(ring, 180);
        path.arcTo(ring, 180, -span);
        painter.strokePath(path, QPen(color, width, Qt::SolidLine, Qt::RoundCap));
    };
    arc(180, QColor(255, 255, 255, 71), 24);
    arc(120, speedGreenFixed(), 24);
    painter.setPen(QPen(Qt::white, 12, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(128, 156), QPointF(160, 100.57));
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QPointF(128, 156), 14, 14);
}

QPixmap drawnApplication(int pixels)
{
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.scale(pixels / 256.0, pixels / 256.0);
    paintApplication(painter);
    return pixmap;
}

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

// The theme's icon of one of these names, else ours drawn at a few sizes.
QIcon themedOr(std::initializer_list<const char *> names, PaintIcon paint, const QColor &color)
{
    for (const char *name : names) {
        const QIcon themed = QIcon::fromTheme(QLatin1String(name));
        if (!themed.isNull())
            return themed;
    }
    QIcon icon;
    for (const int pixels : {16, 32, 48}) {
        QPixmap pixmap(pixels, pixels);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        paint(painter, pixels / 16.0, color);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace

namespace AppIcon {

QIcon application()
{
    if (canReadSvg())
        return QIcon(QStringLiteral(":/tachora/tachora.svg"));
    QIcon icon;
    for (const int size : iconSizes)
        icon.addPixmap(drawnApplication(size));
    return icon;
}

QPixmap applicationPixmap(int size, qreal devicePixelRatio)
{
    const int pixels = qRound(size * devicePixelRatio);
    QPixmap pixmap = canReadSvg() ? QIcon(QStringLiteral(":/tachora/tachora.svg")).pixmap(pixels)
                                  : drawnApplication(pixels);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon settings(const QColor &color)
{
    return themedOr({"configure", "preferences-system", "emblem-system"}, paintGear, color);
}

QIcon menu(const QColor &color)
{
    return themedOr({"open-menu"}, paintMenu, color);
}

} // namespace AppIcon
