#pragma once

#include <QWidget>

class QPainter;

// The rounded panel behind a group of elements: corners of radius 10, a 1 px outline at 0.08
// and a fill at 0.05 of the label colour, so it reads in either appearance.
class CardView : public QWidget
{
    Q_OBJECT

public:
    explicit CardView(QWidget *parent = nullptr)
        : QWidget(parent)
    {}

    // Draws the card over the whole of rect, in palette's colours.
    static void paint(QPainter &painter, const QRect &rect, const QPalette &palette);

protected:
    void paintEvent(QPaintEvent *event) override;
};
