// SPDX-License-Identifier: GPL-3.0-or-later
// The menus: the window's menu, opened by its menu button, and the tray item's menu.

#include "AboutBox.h"
#include "AppDelegate.h"

#include "live/StatusItemController.h"
#include "settings/FrenchTypography.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QMessageBox>

void AppDelegate::buildMenu()
{
    // Without a global menu bar on most Linux desktops, the application menu opens from the
    // window's menu button, and its quit shortcut lives on the window.
    m_updateAction =
        new QAction(m_updater ? QStringLiteral("Rechercher des mises à jour…")
                              : QStringLiteral("Mises à jour par le gestionnaire de paquets"),
                    this);
    m_updateAction->setObjectName(QStringLiteral("updateAction"));
    // A build without updater leaves them to the package manager: the entry only says so.
    m_updateAction->setEnabled(m_updater);
    connect(m_updateAction, &QAction::triggered, this, [this] { checkForUpdates(m_updateAction); });

    m_reportAction = new QAction(QStringLiteral("Signaler un problème…"), this);
    m_reportAction->setObjectName(QStringLiteral("reportAction"));
    connect(m_reportAction, &QAction::triggered, this,
            [this] { reportProblemPressed(m_reportAction); });

    m_quitAction = new QAction(QStringLiteral("Quitter Tachora"), this);
    m_quitAction->setObjectName(QStringLiteral("quitAction"));
    // Spelled out: not every platform theme binds QKeySequence::Quit.
    m_quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    m_quitAction->setShortcutContext(Qt::WindowShortcut);
    connect(m_quitAction, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    m_mainMenu = new QMenu;
    m_mainMenu->setObjectName(QStringLiteral("mainMenu"));
    QAction *settings = m_mainMenu->addAction(QStringLiteral("Réglages…"));
    settings->setObjectName(QStringLiteral("settingsAction"));
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    settings->setShortcutContext(Qt::WindowShortcut);
    connect(settings, &QAction::triggered, this, [this, settings] { showSettings(settings); });
    m_mainMenu->addSeparator();
    m_mainMenu->addAction(m_updateAction);
    m_mainMenu->addAction(m_reportAction);
    QAction *about = m_mainMenu->addAction(QStringLiteral("À propos de Tachora"));
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, [this, about] { showAbout(about); });
    m_mainMenu->addSeparator();
    m_mainMenu->addAction(m_quitAction);
}

void AppDelegate::showAbout(QObject *)
{
    openAlert(AboutBox::title(), FrenchTypography::typeset(AboutBox::text()))
        ->setObjectName(QStringLiteral("aboutAlert"));
}

QMenu *AppDelegate::buildStatusMenu()
{
    auto *menu = new QMenu;
    menu->setObjectName(QStringLiteral("statusMenu"));
    // The first entry says what pressing it does now; the menu is rebuilt when that changes.
    QAction *test = menu->addAction(m_engine.isRunning() ? QStringLiteral("Arrêter le test")
                                                         : QStringLiteral("Lancer le test"));
    test->setObjectName(QStringLiteral("statusTestAction"));
    connect(test, &QAction::triggered, this, [this, test] { testPressed(test); });
    QAction *open = menu->addAction(QStringLiteral("Ouvrir Tachora…"));
    open->setObjectName(QStringLiteral("statusOpenAction"));
    connect(open, &QAction::triggered, this, [this, open] { showMainWindow(open); });
    menu->addSeparator();
    menu->addAction(m_updateAction);
    menu->addAction(m_reportAction);
    menu->addSeparator();
    // The window's quit shortcut does nothing from the tray's menu, so the menu does not show
    // it.
    QAction *quit = menu->addAction(m_quitAction->text());
    quit->setObjectName(QStringLiteral("statusQuitAction"));
    connect(quit, &QAction::triggered, m_quitAction, &QAction::trigger);
    return menu;
}

void AppDelegate::rebuildStatusMenuIfEnabled()
{
    if (m_statusController->isEnabled())
        m_statusController->enable(buildStatusMenu());
}
