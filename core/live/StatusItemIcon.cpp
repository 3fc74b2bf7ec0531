// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/StatusItemIcon.h"

#include "views/PaintedIcon.h"
#include "views/Palette.h"
#include "views/TabularDigits.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>

#include <algorithm>
#include <cmath>

namespace StatusItemIcon {

namespace {

const QColor badgeColor(24, 24, 24, 235);
const QColor badgeTextColor(245, 245, 245);

// The gauge's outline widened by extra, as one path: filled once, its overlapping parts
// are not painted twice.
QPainterPath symbolShape(const QRectF &rect, double extra)
{
    const double s = rect.width();
    const QPointF centre = rect.topLeft() + QPointF(0.5 * s, 0.6 * s);
    const double radius = 0.36 * s;

    QPainterPath gauge;
    const QRectF arcBox(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    gauge.arcMoveTo(arcBox, 200);
    gauge.arcTo(arcBox, 200, -220);
    // The needle points to the upper right, a fast reading.
    QPainterPath needle;
    needle.moveTo(centre);
    needle.lineTo(centre + QPointF(0.2 * s, -0.22 * s));

    QPainterPathStroker stroker;
    stroker.setWidth(std::max(1.5, 0.1 * s) + extra);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    QPainterPath hub;
    const double hubRadius = std::max(1.2, 0.075 * s) + extra / 2;
    hub.addEllipse(centre, hubRadius, hubRadius);
    return stroker.createStroke(gauge).united(stroker.createStroke(needle)).united(hub);
}

void paintSymbol(QPainter &painter, const QRectF &rect, const QPalette &palette)
{
    // The glyph takes the theme's text colour, like the monochrome icons beside it, but the
    // panel may be of the other kind (GNOME's is dark whatever the theme): an opaque outline
    // of the opposite lightness keeps it visible on both.
    const QColor ink = palette.color(QPalette::WindowText);
    const QColor outline = ink.lightnessF() >= 0.5f ? QColor(0, 0, 0) : QColor(255, 255, 255);
    painter.fillPath(symbolShape(rect, std::max(1.0, 0.1 * rect.width())), outline);
    painter.fillPath(symbolShape(rect, 0), ink);
}

// "↓12M" as the sign ("↓"), the number ("12") and its unit ("M"). A text of another shape
// is all number.
struct LiveText
{
    QString sign;
    QString number;
    QString unit;
};

LiveText split(const QString &text)
{
    qsizetype signs = 0;
    while (signs < text.size() && !text.at(signs).isLetterOrNumber())
        ++signs;
    qsizetype unitStart = text.size();
    while (unitStart > signs && text.at(unitStart - 1).isLetter())
        --unitStart;
    LiveText parts{text.first(signs).trimmed(), text.sliced(signs, unitStart - signs).trimmed(),
                   text.sliced(unitStart)};
    if (parts.number.isEmpty())
        std::swap(parts.number, parts.unit);
    return parts;
}

// Measures of the live text's font, taken on outlines at 100 px and scaled: the number is
// fitted by the height of its digits' ink, not by the font's line box.
struct InkMetrics
{
    QFont font;
    double digitHeight; // from the baseline to the top of the digits
    double commaDrop;   // how far a comma's tail reaches below the baseline, per digit height
    double capHeight;
    double cell; // TabularDigits' cell
};

const InkMetrics &inkMetrics()
{
    static InkMetrics metrics;
    static QFont measured;
    QFont font = QGuiApplication::font();
    font.setPixelSize(100);
    font.setBold(true);
    if (metrics.digitHeight > 0 && font == measured)
        return metrics;
    auto ink = [&font](const QString &text) {
        QPainterPath path;
        path.addText(0, 0, font, text);
        return path.boundingRect();
    };
    const double digitHeight = -ink(QStringLiteral("0123456789")).top();
    metrics = {font, digitHeight, std::max(0.0, ink(QStringLiteral(",")).bottom()) / digitHeight,
               -ink(QStringLiteral("M")).top(), TabularDigits::cellWidth(QFontMetricsF(font))};
    measured = font;
    return metrics;
}

// The mark that stands for the sign: a small triangle pointing down, or up for "↑".
QPainterPath markShape(const QString &sign, double height)
{
    const bool up = sign.contains(u'↑');
    const double width = height * 1.1;
    QPainterPath mark;
    mark.moveTo(0, up ? height : 0);
    mark.lineTo(width, up ? height : 0);
    mark.lineTo(width / 2, up ? 0 : height);
    mark.closeSubpath();
    return mark;
}

// The live text at a size that does not change with its value: the number on top, as tall as
// the square allows, its digits in equal cells, three of them filling the width; below it, the
// sign as a small mark and the unit. A number of more than three digits is narrowed, not
// lowered, until narrowing it further would make it unreadable.
void paintLiveText(QPainter &painter, const QRectF &rect, const QString &text)
{
    const double s = rect.width();
    painter.setPen(Qt::NoPen);
    painter.setBrush(badgeColor);
    painter.drawRoundedRect(rect.adjusted(0.5, 0.5, -0.5, -0.5), 0.2 * s, 0.2 * s);

    const InkMetrics &metrics = inkMetrics();
    const LiveText parts = split(text);
    // Whole pixels, so that the digits' flat tops and bottoms and the baselines fall on pixel
    // edges and stay crisp.
    const double margin = std::max(1, int(s / 16));
    const QRectF box = rect.adjusted(margin, margin, -margin, -margin);
    const bool unitRow = !parts.sign.isEmpty() || !parts.unit.isEmpty();
    const int unitHeight = unitRow ? std::max(3, int(std::lround(box.height() * 0.35))) : 0;
    // The number's height with its comma's tail and a clear pixel row above the unit.
    auto numberSpan = [&](int height) {
        return height + (unitRow ? int(std::lround(metrics.commaDrop * height)) + 1 : 0);
    };
    int numberHeight = int(box.height()) - unitHeight;
    while (numberHeight > 1 && numberSpan(numberHeight) + unitHeight > box.height())
        --numberHeight;

    constexpr double narrowest = 0.3; // of the font's own proportions
    QPainterPath number;
    TabularDigits::addText(number, QPointF(), metrics.font, parts.number);
    const double advance =
        TabularDigits::horizontalAdvance(parts.number, QFontMetricsF(metrics.font));
    double scaleY = numberHeight / metrics.digitHeight;
    double scaleX = std::min(scaleY, box.width() / (3 * metrics.cell));
    if (advance * scaleX > box.width())
        scaleX = box.width() / advance;
    scaleY = std::min(scaleY, scaleX / narrowest);
    const double baseline = box.top() + (numberHeight + metrics.digitHeight * scaleY) / 2;
    QTransform place;
    place.translate(box.center().x() - advance * scaleX / 2, std::round(baseline));
    place.scale(scaleX, scaleY);
    painter.setBrush(badgeTextColor);
    painter.drawPath(place.map(number));

    if (!unitRow)
        return;
    QPainterPath unit;
    unit.addText(0, 0, metrics.font, parts.unit);
    const double unitScale = unitHeight / metrics.capHeight;
    const QRectF unitInk = unit.boundingRect();
    const QPainterPath mark =
        parts.sign.isEmpty() ? QPainterPath() : markShape(parts.sign, unitHeight * 0.8);
    const double markGap = mark.isEmpty() || unit.isEmpty() ? 0 : std::max(1.0, unitHeight * 0.3);
    const double rowWidth = mark.boundingRect().width() + markGap + unitInk.width() * unitScale;
    const double squeeze = std::min(1.0, box.width() / rowWidth);
    const double unitBaseline = box.bottom();
    double x = box.center().x() - rowWidth * squeeze / 2;
    painter.setBrush(speedGreenFixed());
    painter.drawPath(QTransform(squeeze, 0, 0, 1, x, unitBaseline - unitHeight * 0.8).map(mark));
    x += (mark.boundingRect().width() + markGap) * squeeze;
    painter.setBrush(badgeTextColor);
    painter.drawPath(QTransform(unitScale * squeeze, 0, 0, unitScale,
                                x - unitInk.left() * unitScale * squeeze, unitBaseline)
                         .map(unit));
}

} // namespace

void paint(QPainter &painter, const QRectF &rect, const std::optional<QString> &liveText,
           const QPalette &palette)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    if (liveText)
        paintLiveText(painter, rect, *liveText);
    else
        paintSymbol(painter, rect, palette);
    painter.restore();
}

QImage render(const std::optional<QString> &liveText, const QPalette &palette, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    paint(painter, QRectF(0, 0, size, size), liveText, palette);
    return image;
}

QIcon icon(const std::optional<QString> &liveText, const QPalette &palette)
{
    // Drawn afresh at whatever size a tray asks, a scaled screen's 27 or 28 px included,
    // rather than scaled from the nearest size offered.
    QList<QSize> offered;
    for (const int size : sizes)
        offered.append(QSize(size, size));
    return PaintedIcon::make(
        [liveText, palette](QPainter &painter, const QRectF &square, QIcon::Mode) {
            paint(painter, square, liveText, palette);
        },
        offered);
}

} // namespace StatusItemIcon
