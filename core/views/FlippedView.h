// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QRect>
#include <QWidget>

// A plain container whose children are placed by explicit frames from the top left, for views
// laid out by hand rather than with layouts. Qt widgets already put their origin at the top
// left, so nothing needs changing: the class exists so that such views say what they rely on.
class FlippedView : public QWidget
{
    Q_OBJECT

public:
    explicit FlippedView(QWidget *parent = nullptr)
        : QWidget(parent)
    {}

    explicit FlippedView(const QRect &frame, QWidget *parent = nullptr)
        : QWidget(parent)
    {
        setGeometry(frame);
    }
};
