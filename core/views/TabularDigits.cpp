// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/TabularDigits.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace TabularDigits {

namespace {

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Calls place(x, piece) for each digit and each run of other characters, x being the
// piece's origin from the start of the line, and returns the line's width.
template <typename Place>
qreal layOut(QStringView text, const QFontMetricsF &metrics, Place place)
{
    const qreal cell = cellWidth(metrics);
    qreal x = 0;
    qsizetype runStart = 0;
    auto endRun = [&](qsizetype end) {
        if (end == runStart)
            return;
        const QString run = text.sliced(runStart, end - runStart).toString();
        place(x, run);
        x += metrics.horizontalAdvance(run);
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!isDigit(text[i]))
            continue;
        endRun(i);
        const QString digit(text[i]);
        place(x + (cell - metrics.horizontalAdvance(digit)) / 2, digit);
        x += cell;
        runStart = i + 1;
    }
    endRun(text.size());
    return x;
}

} // namespace

qreal cellWidth(const QFontMetricsF &metrics)
{
    qreal widest = 0;
    for (char16_t digit = u'0'; digit <= u'9'; ++digit)
        widest = std::max(widest, metrics.horizontalAdvance(QChar(digit)));
    return widest;
}

qreal horizontalAdvance(QStringView text, const QFontMetricsF &metrics)
{
    return layOut(text, metrics, [](qreal, const QString &) {});
}

void draw(QPainter &painter, const QPointF &origin, QStringView text)
{
    layOut(text, QFontMetricsF(painter.font(), painter.device()),
           [&](qreal x, const QString &piece) { painter.drawText(origin + QPointF(x, 0), piece); });
}

void addText(QPainterPath &path, const QPointF &origin, const QFont &font, QStringView text)
{
    layOut(text, QFontMetricsF(font), [&](qreal x, const QString &piece) {
        path.addText(origin + QPointF(x, 0), font, piece);
    });
}

} // namespace TabularDigits
