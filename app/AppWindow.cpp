// The window and its two views.

#include "AppDelegate.h"
#include "MainView.h"
#include "MainWindow.h"

#include "views/FlippedView.h"

#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>

void AppDelegate::buildMainWindow()
{
    m_mainView = buildMainView();
    m_settingsView = buildSettingsView();
    m_mainWindow = new MainWindow(m_mainView, m_settingsView);
    m_mainWindow->addAction(m_quitAction);
    if (!livesInTray())
        m_mainWindow->bringToFront();
}

MainView *AppDelegate::buildMainView()
{
    auto *view = new MainView;
    connect(view->testButton(), &QPushButton::clicked, this,
            [this, view] { testPressed(view->testButton()); });
    connect(view->gearButton(), &QToolButton::clicked, this,
            [this, view] { showSettings(view->gearButton()); });
    return view;
}

QWidget *AppDelegate::buildSettingsView()
{
    auto *view = new FlippedView(QRect(QPoint(0, 0), MainWindow::contentSize));
    view->setObjectName(QStringLiteral("settingsView"));
    auto *back = new QToolButton(view);
    back->setObjectName(QStringLiteral("backButton"));
    back->setAccessibleName(QStringLiteral("Retour"));
    back->setToolTip(QStringLiteral("Retour"));
    back->setAutoRaise(true);
    back->setIcon(QIcon::fromTheme(QStringLiteral("go-previous"),
                                   QApplication::style()->standardIcon(QStyle::SP_ArrowBack)));
    back->setGeometry(18, 46, 28, 28);
    connect(back, &QToolButton::clicked, this, [this, back] { showMain(back); });
    return view;
}

void AppDelegate::showMainWindow(QObject *)
{
    if (m_mainWindow)
        m_mainWindow->bringToFront();
}

void AppDelegate::showMain(QObject *)
{
    if (m_mainWindow)
        m_mainWindow->showMainView();
}

void AppDelegate::showSettings(QObject *)
{
    if (m_mainWindow)
        m_mainWindow->showSettingsView();
}
