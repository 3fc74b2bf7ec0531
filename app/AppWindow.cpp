// SPDX-License-Identifier: GPL-3.0-or-later
// The window and its main view.

#include "AppDelegate.h"
#include "MainView.h"

#include "MainWindow.h"
#include "ResultArea.h"
#include "settings/ResultTexts.h"

#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <QUrl>

void AppDelegate::buildMainWindow()
{
    m_mainView = buildMainView();
    m_resultArea = new ResultArea(m_mainView, this);
    m_settingsView = buildSettingsView();
    m_mainWindow = new MainWindow(m_mainView, m_settingsView);
    m_mainWindow->setMainMenu(m_mainMenu);
    // The menu's shortcuts work wherever the window has the focus.
    m_mainWindow->addActions(m_mainMenu->actions());
    if (!livesInTray())
        m_mainWindow->bringToFront();
}

MainView *AppDelegate::buildMainView()
{
    // The note names the server the tests actually go to.
    auto *view = new MainView(ResultTexts::serverText(m_engine.config().host));
    connect(view->testButton(), &QPushButton::clicked, this,
            [this, view] { testPressed(view->testButton()); });
    connect(view->gearButton(), &QToolButton::clicked, this,
            [this, view] { showSettings(view->gearButton()); });
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
