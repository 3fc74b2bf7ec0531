#include "live/StatusItemIcon.h"

#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>

#include <algorithm>

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
    // The halo, in the window colour, keeps the glyph visible on a panel of the same
    // colour as the glyph.
    QColor halo = palette.color(QPalette::Window);
    halo.setAlphaF(0.75f);
    painter.fillPath(symbolShape(rect, std::max(1.0, 0.1 * rect.width())), halo);
    painter.fillPath(symbolShape(rect, 0), palette.color(QPalette::WindowText));
}

struct Line
{
    QPainterPath path;
    QRectF ink;
    double height = 0; // the share of the text's height it is given
    double widen = 1;  // how much wider than tall it may be drawn
};

// A leading arrow (or other sign) goes on its own line above the number: a square tray
// icon has no room for "↓12M" on one line at a readable size.
std::pair<QString, QString> splitLines(const QString &text)
{
    qsizetype signs = 0;
    while (signs < text.size() && !text.at(signs).isLetterOrNumber() && !text.at(signs).isSpace())
        ++signs;
    if (signs == 0 || signs == text.size())
        return {QString(), text};
    return {text.first(signs), text.sliced(signs).trimmed()};
}

void paintLiveText(QPainter &painter, const QRectF &rect, const QString &text)
{
    const double s = rect.width();
    painter.setPen(Qt::NoPen);
    painter.setBrush(badgeColor);
    const QRectF badge = rect.adjusted(0.5, 0.5, -0.5, -0.5);
    painter.drawRoundedRect(badge, 0.2 * s, 0.2 * s);

    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    font.setBold(true);
    font.setPixelSize(std::max(6, qRound(s * 10.0 / 22.0)));

    // The ink, not the font's line box, is fitted: two lines of a 10 px font's line height
    // would not fit in 22 px, two lines of its glyphs do.
    const QRectF box = badge.adjusted(0.07 * s, 0.07 * s, -0.07 * s, -0.07 * s);
    const auto [signs, number] = splitLines(text);
    const bool twoLines = !signs.isEmpty();
    const double gap = twoLines ? 0.06 * s : 0.0;

    QList<Line> lines;
    if (twoLines) {
        Line line;
        line.path.addText(0, 0, font, signs);
        // Arrows are thin in most fonts; thickened, they match the bold digits below.
        QPainterPathStroker stroker;
        stroker.setWidth(0.05 * s);
        line.path = line.path.united(stroker.createStroke(line.path));
        line.height = 0.42 * (box.height() - gap);
        // An arrow's head is narrow; a wider one reads better in a few pixels.
        line.widen = 1.5;
        lines.append(line);
    }
    Line main;
    main.path.addText(0, 0, font, number);
    main.height = twoLines ? 0.58 * (box.height() - gap) : box.height();
    lines.append(main);

    double top = box.top();
    painter.setBrush(badgeTextColor);
    for (Line &line : lines) {
        const double slot = line.height;
        line.ink = line.path.boundingRect();
        if (line.path.isEmpty() || line.ink.isEmpty()) {
            top += slot + gap;
            continue;
        }
        // One line alone keeps the font's size; the two-line layout fills its slots.
        double scale =
            twoLines ? slot / line.ink.height() : std::min(1.0, slot / line.ink.height());
        // Too wide a line is first narrowed, which keeps it tall and legible, then, past
        // a point where narrowing would distort it, also shrunk.
        const double scaleX = std::min(scale * line.widen, box.width() / line.ink.width());
        scale = std::min(scale, scaleX / (0.7 * line.widen));
        QTransform place;
        place.translate(box.center().x() - line.ink.center().x() * scaleX,
                        top + (slot - line.ink.height() * scale) / 2 - line.ink.top() * scale);
        place.scale(scaleX, scale);
        painter.drawPath(place.map(line.path));
        top += slot + gap;
    }
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
    QIcon icon;
    for (const int size : sizes)
        icon.addPixmap(QPixmap::fromImage(render(liveText, palette, size)));
    return icon;
}

} // namespace StatusItemIcon
