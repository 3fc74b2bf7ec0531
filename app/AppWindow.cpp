// SPDX-License-Identifier: GPL-3.0-or-later
// The window and its parts, and how they are wired to the application.

#include "AppDelegate.h"
#include "MainView.h"

#include "MainWindow.h"
#include "ResultArea.h"
#include "SettingsPage.h"
#include "TrayBehaviour.h"
#include "settings/ResultTexts.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <QUrl>

void AppDelegate::buildMainWindow()
{
    m_mainView = buildMainView();
    m_resultArea = new ResultArea(m_mainView, this);
    m_settingsPage = buildSettingsPage();
    m_mainWindow = new MainWindow(m_mainView, m_settingsPage->view());
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

SettingsPage *AppDelegate::buildSettingsPage()
{
    std::optional<bool> autoUpdates;
    if (m_updater)
        autoUpdates = m_updater->automaticallyChecksForUpdates()
                      && m_updater->automaticallyDownloadsUpdates();
    auto *page = new SettingsPage(*this, m_engine.config().host, autoUpdates, this);
    connect(page, &SettingsPage::backPressed, this, &AppDelegate::showMain);
    connect(page, &SettingsPage::liveMenuBarToggled, this, &AppDelegate::toggleLiveMenuBar);
    connect(page, &SettingsPage::menuBarModeToggled, this, &AppDelegate::toggleMenuBarMode);
    connect(page, &SettingsPage::unitChosen, this, &AppDelegate::unitChanged);
    connect(page, &SettingsPage::autoUpdatesToggled, this, &AppDelegate::toggleAutoUpdates);
    connect(page, &SettingsPage::loginItemToggled, this, &AppDelegate::toggleLoginItem);
    connect(page, &SettingsPage::updateCheckPressed, this, &AppDelegate::checkForUpdates);
    connect(page, &SettingsPage::reportPressed, this, &AppDelegate::reportProblemPressed);
    connect(page, &SettingsPage::siteLinkPressed, this, &AppDelegate::openKorvel);
    return page;
}

void AppDelegate::connectTray()
{
    connect(m_tray, &TrayBehaviour::testRequested, this, &AppDelegate::testPressed);
    connect(m_tray, &TrayBehaviour::windowRequested, this, &AppDelegate::showMainWindow);
    connect(m_tray, &TrayBehaviour::trayAppeared, this, &AppDelegate::applyDisplayMode);
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
