#pragma once

#include <QString>
#include <QWidget>

// The large speedometer of the main window: a half-ring track with a green arc whose length
// follows the rate on a logarithmic scale, the rate inside the ring, its unit below it and a
// caption at the bottom. It draws everything itself and takes no input. Colours come from the
// palette at each paint, and Qt repaints a widget whenever its palette or font changes.
class GaugeView : public QWidget
{
    Q_OBJECT

public:
    explicit GaugeView(QWidget *parent = nullptr);

    double mbps() const { return m_mbps; }
    // Stored as given, negative or not; each write schedules a repaint, and writes made
    // before the next one are drawn together.
    void setMbps(double mbps);

    QString caption() const { return m_caption; }
    // An empty caption draws nothing at the bottom.
    void setCaption(const QString &caption);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    double m_mbps = 0;
    QString m_caption;
};
