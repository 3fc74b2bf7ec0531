// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/ResultTile.h"

#include "views/LabelFactory.h"

#include <QLabel>

ResultTile::ResultTile(const QString &title, QWidget *parent)
    : CardView(parent)
    , m_titleLabel(makeLabel(title, 11, QFont::Medium, ViewColor::secondaryLabel))
    , m_valueLabel(makeLabel(noValue, 16, QFont::DemiBold, ViewColor::label))
{
    m_valueLabel->setFont(monospacedDigitSystemFont(16, QFont::DemiBold));
    setTabularDigits(m_valueLabel);
    m_titleLabel->setParent(this);
    m_valueLabel->setParent(this);
    m_titleLabel->setGeometry(0, 8, tileWidth, 15);
    m_valueLabel->setGeometry(0, 28, tileWidth, 20);
    setFixedSize(tileWidth, tileHeight);
    registerInterface();
}

void ResultTile::setValue(const QString &text)
{
    m_valueLabel->setText(text);
    valueChanged(this);
}

void ResultTile::setPrevious(bool previous)
{
    m_previous = previous;
    // Secondary text keeps 4.5:1 on the card: dimmed, never unreadable.
    setLabelColor(m_valueLabel, previous ? ViewColor::secondaryLabel : ViewColor::label);
}

QString ResultTile::readoutName() const
{
    return m_titleLabel->text();
}

QString ResultTile::readoutValue() const
{
    return m_valueLabel->text();
}
