// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

// The rounded panel behind a group of elements: corners of radius 10, a 1 px outline at 0.08
// and a fill at 0.05 of the label colour, so it reads in either appearance. Drawn from the
// current size, so a card forced to another size is still whole.
class CardView : public QWidget
{
    Q_OBJECT

public:
    explicit CardView(QWidget *parent = nullptr)
        : QWidget(parent)
    {}

protected:
    void paintEvent(QPaintEvent *event) override;
};
