// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/HistoryTable.h"

#include "settings/FrenchTypography.h"
#include "views/LabelFactory.h"
#include "views/Palette.h"
#include "views/TabularDigits.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

// The length of a cell's leading sign with the space after it, or 0.
qsizetype signLength(const QString &cell)
{
    return cell.size() > 2 && !cell.at(0).isLetterOrNumber() && cell.at(1) == u' ' ? 2 : 0;
}

} // namespace

HistoryTable::HistoryTable(int rowCount, QWidget *parent)
    : QWidget(parent)
    , m_rowCount(std::max(1, rowCount))
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    registerInterface();
}

void HistoryTable::setRows(const QList<QStringList> &rows)
{
    m_rows = rows.first(std::min<qsizetype>(rows.size(), m_rowCount));
    updateGeometry();
    update();
    valueChanged(this);
}

void HistoryTable::setEmptyText(const QString &text)
{
    m_emptyText = FrenchTypography::typeset(text);
    updateGeometry();
    update();
    valueChanged(this);
}

QString HistoryTable::text() const
{
    if (m_rows.isEmpty())
        return m_emptyText;
    QStringList lines;
    for (const QStringList &row : m_rows)
        lines.append(row.join(QStringLiteral("   ")));
    return lines.join(u'\n');
}

QString HistoryTable::readoutName() const
{
    return accessibleName();
}

QFont HistoryTable::tableFont() const
{
    return monospacedDigitSystemFont(11, QFont::Normal);
}

QList<qreal> HistoryTable::columnWidths() const
{
    const QFontMetricsF metrics(tableFont(), this);
    QList<qreal> widths;
    for (const QStringList &row : m_rows) {
        if (widths.size() < row.size())
            widths.resize(row.size(), 0);
        for (qsizetype column = 0; column < row.size(); ++column)
            widths[column] =
                std::max(widths[column], TabularDigits::horizontalAdvance(row[column], metrics));
    }
    return widths;
}

QSize HistoryTable::sizeHint() const
{
    const QFontMetricsF metrics(tableFont(), this);
    qreal width = m_rows.isEmpty() ? metrics.horizontalAdvance(m_emptyText) : 0;
    const QList<qreal> widths = columnWidths();
    for (const qreal column : widths)
        width += column;
    if (!widths.isEmpty())
        width += columnGap * qreal(widths.size() - 1);
    return {int(std::ceil(width)), int(std::ceil(m_rowCount * metrics.lineSpacing()))};
}

void HistoryTable::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setFont(tableFont());
    painter.setPen(secondaryLabelColor(palette()));
    const QFontMetricsF metrics(tableFont(), this);
    if (m_rows.isEmpty()) {
        const qreal textWidth = metrics.horizontalAdvance(m_emptyText);
        painter.drawText(QPointF((width() - textWidth) / 2, metrics.ascent()), m_emptyText);
        return;
    }
    const QList<qreal> widths = columnWidths();
    qreal tableWidth = columnGap * qreal(widths.size() - 1);
    for (const qreal column : widths)
        tableWidth += column;
    qreal baseline = metrics.ascent();
    for (const QStringList &row : m_rows) {
        qreal left = std::round((width() - tableWidth) / 2);
        for (qsizetype column = 0; column < row.size(); ++column) {
            const QString &cell = row[column];
            if (column == 0) {
                TabularDigits::draw(painter, QPointF(left, baseline), cell);
            } else {
                // A leading sign ("↓ 93,4") keeps to the left of its column, the value to
                // the right, so that both signs and values line up.
                const qsizetype split = signLength(cell);
                TabularDigits::draw(painter, QPointF(left, baseline), cell.first(split));
                const QStringView value = QStringView(cell).sliced(split);
                const qreal advance = TabularDigits::horizontalAdvance(value, metrics);
                TabularDigits::draw(painter, QPointF(left + widths[column] - advance, baseline),
                                    value);
            }
            left += widths[column] + columnGap;
        }
        baseline += metrics.lineSpacing();
    }
}

void HistoryTable::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        updateGeometry();
}
