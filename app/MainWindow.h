#pragma once

#include <QSize>
#include <QWidget>

class QStackedWidget;

// The one window: a fixed-size frame showing either the main view or the settings view.
// Closing it only hides it; the same window comes back with the view it had.
class MainWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr QSize contentSize{430, 600};

    // Takes ownership of both views; the settings view starts hidden.
    MainWindow(QWidget *mainView, QWidget *settingsView);

    QWidget *mainView() const { return m_mainView; }
    QWidget *settingsView() const { return m_settingsView; }
    bool showsSettings() const;
    void showMainView();
    void showSettingsView();

    // Shows the window in front, restored if it was minimised.
    void bringToFront();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QStackedWidget *m_stack;
    QWidget *m_mainView;
    QWidget *m_settingsView;
    bool m_painted = false;
};
