// SPDX-License-Identifier: GPL-3.0-or-later
#include "MainWindow.h"

#include "AppIcon.h"

#include "views/Palette.h"

#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QMenu>
#include <QScreen>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

// The benchmark turns this on to time the first frame: QT_LOGGING_RULES="tachora.launch=true".
Q_LOGGING_CATEGORY(lcLaunch, "tachora.launch", QtWarningMsg)

MainWindow::MainWindow(QWidget *mainView, QWidget *settingsView)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                           | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , m_stack(new QStackedWidget(this))
    , m_mainView(mainView)
    , m_settingsView(settingsView)
{
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Tachora"));
    setWindowIcon(AppIcon::application());
    setFixedSize(contentSize);

    // Linux desktops mostly have no global menu bar: the application menu opens from here.
    // Made before the views join the window, so that Tab reaches it first: the focus moves
    // from the top of the window to its bottom.
    m_menuButton = new QToolButton(this);
    m_menuButton->setObjectName(QStringLiteral("menuButton"));
    m_menuButton->setAccessibleName(QStringLiteral("Menu"));
    m_menuButton->setToolTip(QStringLiteral("Menu"));
    m_menuButton->setAutoRaise(true);
    m_menuButton->setIconSize(QSize(16, 16));
    m_menuButton->setFixedSize(cornerButtonSize, cornerButtonSize);
    m_menuButton->setCursor(Qt::PointingHandCursor);
    m_menuButton->setIcon(AppIcon::menu(secondaryLabelColor(palette())));
    m_menuButton->move(contentSize.width() - cornerInset - cornerButtonSize, cornerInset);
    m_menuButton->raise();
    connect(m_menuButton, &QToolButton::clicked, this, &MainWindow::openMainMenu);

    m_stack->setObjectName(QStringLiteral("viewStack"));
    m_stack->addWidget(m_mainView);
    m_stack->addWidget(m_settingsView);
    m_stack->setCurrentWidget(m_mainView);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_stack);
    m_mainView->setFocus();

    // Where the window manager lets us choose; Wayland compositors place windows themselves.
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

bool MainWindow::showsSettings() const
{
    return m_stack->currentWidget() == m_settingsView;
}

void MainWindow::showMainView()
{
    m_stack->setCurrentWidget(m_mainView);
    m_mainView->setFocus();
}

void MainWindow::showSettingsView()
{
    m_stack->setCurrentWidget(m_settingsView);
}

void MainWindow::bringToFront()
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void MainWindow::setMainMenu(QMenu *menu)
{
    m_mainMenu = menu;
    if (menu)
        menu->setParent(this, menu->windowFlags());
}

void MainWindow::openMainMenu()
{
    if (!m_mainMenu)
        return;
    // Below the button, its right edge on the button's.
    const QPoint corner =
        m_menuButton->mapToGlobal(QPoint(m_menuButton->width(), m_menuButton->height()));
    // Opened from the keyboard (the button only takes the focus from it), the first entry is
    // highlighted, so that the arrows start from there.
    const bool fromKeyboard = m_menuButton->hasFocus();
    m_mainMenu->popup(corner - QPoint(m_mainMenu->sizeHint().width(), 0));
    if (fromKeyboard)
        m_mainMenu->setActiveAction(m_mainMenu->actions().value(0));
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        if (showsSettings()) {
            showMainView();
            return;
        }
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Outside a dialog, buttons leave these keys to their window: the focused one, or
        // the test button that the main view passes its focus to, is pressed here.
        if (auto *focused = qobject_cast<QAbstractButton *>(focusWidget())) {
            focused->click();
            return;
        }
        break;
    default:
        break;
    }
    QWidget::keyPressEvent(event);
}

void MainWindow::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        m_menuButton->setIcon(AppIcon::menu(secondaryLabelColor(palette())));
}

void MainWindow::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    if (!m_painted) {
        m_painted = true;
        qCInfo(lcLaunch, "first frame");
    }
}
