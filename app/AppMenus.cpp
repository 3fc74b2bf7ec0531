// The menus: the quit action of the window and the tray item's menu.

#include "AppDelegate.h"

#include "live/StatusItemController.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>

void AppDelegate::buildMenu()
{
    // Linux windows have no application menu: the quit shortcut lives on the window, and the
    // same action ends the tray menu.
    m_quitAction = new QAction(QStringLiteral("Quitter Tachora"), this);
    m_quitAction->setObjectName(QStringLiteral("quitAction"));
    m_quitAction->setShortcut(QKeySequence::Quit);
    m_quitAction->setShortcutContext(Qt::WindowShortcut);
    connect(m_quitAction, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
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
    menu->addAction(m_quitAction);
    return menu;
}

void AppDelegate::rebuildStatusMenuIfEnabled()
{
    if (m_statusController->isEnabled())
        m_statusController->enable(buildStatusMenu());
}
