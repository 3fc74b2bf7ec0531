// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QSize>
#include <QWidget>

class QMenu;
class QStackedWidget;
class QToolButton;

// The one window: a fixed-size frame showing either the main view or the settings view, with
// the menu button in its top right corner above both. Closing it only hides it; the same
// window comes back with the view it had. Escape leaves the settings view; Return presses the
// button that has the focus.
class MainWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr QSize contentSize{430, 600};
    // The buttons in the corners of the window: their size and distance from the edges.
    static constexpr int cornerButtonSize = 30;
    static constexpr int cornerInset = 14;

    // Takes ownership of both views; the settings view starts hidden.
    MainWindow(QWidget *mainView, QWidget *settingsView);

    QWidget *mainView() const { return m_mainView; }
    QWidget *settingsView() const { return m_settingsView; }
    bool showsSettings() const;
    void showMainView();
    void showSettingsView();

    // Shows the window in front, restored if it was minimised.
    void bringToFront();

    // The menu the menu button opens; the window takes ownership of it.
    void setMainMenu(QMenu *menu);
    QToolButton *menuButton() const { return m_menuButton; }

protected:
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void openMainMenu();

    QStackedWidget *m_stack;
    QToolButton *m_menuButton = nullptr;
    QMenu *m_mainMenu = nullptr;
    QWidget *m_mainView;
    QWidget *m_settingsView;
    bool m_painted = false;
};
