// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "views/AccessibleReadout.h"

#include <QString>
#include <QWidget>

// The large speedometer of the main window: a half-ring track with a green arc whose length
// follows the rate on a logarithmic scale, the rate inside the ring, its unit below it and a
// caption at the bottom. It draws everything itself and takes no input. Colours come from the
// palette at each paint, and Qt repaints a widget whenever its palette or font changes. Screen
// readers get the caption as its name and the rate with its unit as its description.
class GaugeView : public QWidget, public AccessibleReadout
{
    Q_OBJECT

public:
    explicit GaugeView(QWidget *parent = nullptr);

    double mbps() const { return m_mbps; }
    // Stored as given, negative or not; each write schedules a repaint, and writes made
    // before the next one are drawn together.
    void setMbps(double mbps);
    // No number at all, for a test that measured nothing: a failure must not read as a rate
    // of zero. The caption, which then says why, is drawn at full strength. setMbps shows a
    // number again.
    void clearValue();
    bool hasValue() const { return m_hasValue; }

    QString caption() const { return m_caption; }
    // Kept in French typography; an empty caption draws nothing at the bottom.
    void setCaption(const QString &caption);

    // The size the main window gives it.
    QSize sizeHint() const override;

    QString readoutName() const override { return m_caption; }
    // "93,4 Mbps": the number as drawn, with its unit; empty without a value.
    QString readoutValue() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    double m_mbps = 0;
    bool m_hasValue = true;
    QString m_caption;
};
