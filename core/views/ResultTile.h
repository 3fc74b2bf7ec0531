// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "views/AccessibleReadout.h"
#include "views/CardView.h"

class QLabel;

// A small fixed-size card with a title above a value, one per result of a test. It only shows
// text: the caller formats the value. Screen readers get the title as its name and the value
// as its description.
class ResultTile : public CardView, public AccessibleReadout
{
    Q_OBJECT

public:
    static constexpr int tileWidth = 112;
    static constexpr int tileHeight = 56;

    // The tile's "no value yet" mark, and its value until one is set.
    static inline const QString noValue = QStringLiteral("\u2014");

    explicit ResultTile(const QString &title, QWidget *parent = nullptr);

    QLabel *titleLabel() const { return m_titleLabel; }
    QLabel *valueLabel() const { return m_valueLabel; }

    void setValue(const QString &text);
    // Dims the value, which then belongs to an earlier test than the one the window speaks of.
    void setPrevious(bool previous);
    bool isPrevious() const { return m_previous; }

    QString readoutName() const override;
    QString readoutValue() const override;

private:
    QLabel *m_titleLabel;
    QLabel *m_valueLabel;
    bool m_previous = false;
};
