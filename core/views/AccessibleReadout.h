// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

class QWidget;

// A widget that shows one value under a name, such as the gauge or a result tile. Screen
// readers get it as one element with that name and, as its description, that value
// ("Descente", "93,4 Mbps") instead of the texts it draws, which they cannot see, or the
// separate labels it holds. A name set with QWidget::setAccessibleName() takes the place of
// readoutName().
class AccessibleReadout
{
public:
    virtual ~AccessibleReadout() = default;

    virtual QString readoutName() const = 0;
    virtual QString readoutValue() const = 0;

    // Makes Qt's accessibility ask this class for the interface of such widgets; each of them
    // calls it when constructed.
    static void registerInterface();

    // Tell screen readers that the widget's name or value changed.
    static void nameChanged(QWidget *widget);
    static void valueChanged(QWidget *widget);
};
