// SPDX-License-Identifier: GPL-3.0-or-later
// The window's menu, opened by its menu button, whose actions the tray item's menu shares.

#include "AboutBox.h"
#include "AppDelegate.h"

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
    m_tray->setSharedActions(m_updateAction, m_reportAction, m_quitAction);
}

void AppDelegate::showAbout(QObject *)
{
    openAlert(AboutBox::title(), FrenchTypography::typeset(AboutBox::text()))
        ->setObjectName(QStringLiteral("aboutAlert"));
}
