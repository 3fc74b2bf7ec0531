// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "views/AccessibleReadout.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

// The last results as a small table: one row per result, its cells in columns (the first
// left-aligned, the others right-aligned, digits in equal cells), so that values of different
// widths stay under each other. Its height is that of every row it can hold, filled or not, so
// that what is laid out around it does not move as results arrive. Without rows it shows one
// line of text in the middle of the first row. Screen readers get the rows as lines.
class HistoryTable : public QWidget, public AccessibleReadout
{
    Q_OBJECT

public:
    explicit HistoryTable(int rowCount, QWidget *parent = nullptr);

    // Rows beyond the row count are not shown.
    void setRows(const QList<QStringList> &rows);
    void setEmptyText(const QString &text);

    // The rows shown, their cells joined by three spaces, one line each; or the empty text.
    QString text() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    QString readoutName() const override;
    QString readoutValue() const override { return text(); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QFont tableFont() const;
    // The width of each column, and the space between two.
    QList<qreal> columnWidths() const;
    static constexpr qreal columnGap = 14;

    int m_rowCount;
    QList<QStringList> m_rows;
    QString m_emptyText;
};
