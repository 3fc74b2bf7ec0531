// SPDX-License-Identifier: GPL-3.0-or-later
#include "TrayBehaviour.h"

#include "AppIcon.h"

#include "live/LiveThroughputMonitor.h"
#include "live/StatusItemController.h"
#include "platform/PreferencesStore.h"
#include "settings/FrenchTypography.h"
#include "settings/PreferenceKeys.h"
#include "settings/ResultTexts.h"
#include "settings/SpeedSettings.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

// How many times a launch or a switch to tray mode looks for a tray that comes up late.
constexpr int trayChecks = 5;

} // namespace

TrayBehaviour::TrayBehaviour(Host &host, LiveThroughputMonitor &live,
                             std::function<bool()> trayAvailable,
                             std::chrono::milliseconds retryInterval, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_live(live)
    , m_trayAvailable(std::move(trayAvailable))
    , m_controller(new StatusItemController(this))
    , m_watch(new QTimer(this))
{
    m_watch->setObjectName(QStringLiteral("trayWatch"));
    m_watch->setInterval(retryInterval);
    connect(m_watch, &QTimer::timeout, this, &TrayBehaviour::watchForTray);
}

bool TrayBehaviour::menuBarMode() const
{
    return PreferencesStore::shared().boolValue(PreferenceKeys::menuBarMode);
}

bool TrayBehaviour::livesInTray() const
{
    return menuBarMode() && m_trayAvailable();
}

void TrayBehaviour::setSharedActions(QAction *update, QAction *report, QAction *quit)
{
    m_updateAction = update;
    m_reportAction = report;
    m_quitAction = quit;
}

void TrayBehaviour::applyItem()
{
    if (livesInTray())
        m_controller->enable(buildMenu());
    else
        m_controller->disable();
}

void TrayBehaviour::applyLiveText()
{
    if (livesInTray() && SpeedSettings::liveMenuBar()) {
        QPointer<TrayBehaviour> self(this);
        m_live.onSample = [self](double down, double) {
            if (self)
                self->m_controller->setLiveText(QStringLiteral("↓")
                                                + LiveThroughputMonitor::compact(down));
        };
        m_live.start();
    } else {
        m_live.stop();
        m_controller->setLiveText(std::nullopt);
    }
}

void TrayBehaviour::startWatch()
{
    if (!menuBarMode() || livesInTray())
        return;
    m_checksLeft = trayChecks;
    m_watch->start();
}

void TrayBehaviour::watchForTray()
{
    if (!menuBarMode() || livesInTray() || --m_checksLeft <= 0)
        m_watch->stop();
    if (livesInTray())
        emit trayAppeared();
}

QMenu *TrayBehaviour::buildMenu()
{
    auto *menu = new QMenu;
    menu->setObjectName(QStringLiteral("statusMenu"));
    // The first entry says what pressing it does now; the menu is rebuilt when that changes.
    QAction *test = menu->addAction(m_host.isTestRunning() ? QStringLiteral("Arrêter le test")
                                                           : QStringLiteral("Lancer le test"));
    test->setObjectName(QStringLiteral("statusTestAction"));
    connect(test, &QAction::triggered, this, [this, test] { emit testRequested(test); });
    QAction *open = menu->addAction(QStringLiteral("Ouvrir Tachora…"));
    open->setObjectName(QStringLiteral("statusOpenAction"));
    connect(open, &QAction::triggered, this, [this, open] { emit windowRequested(open); });
    menu->addSeparator();
    for (QAction *shared : {m_updateAction.get(), m_reportAction.get()})
        if (shared)
            menu->addAction(shared);
    if (m_quitAction) {
        menu->addSeparator();
        // The window's quit shortcut does nothing from the tray's menu, so the menu does not
        // show it.
        QAction *quit = menu->addAction(m_quitAction->text());
        quit->setObjectName(QStringLiteral("statusQuitAction"));
        connect(quit, &QAction::triggered, m_quitAction, &QAction::trigger);
    }
    return menu;
}

void TrayBehaviour::rebuildMenuIfEnabled()
{
    if (m_controller->isEnabled())
        m_controller->enable(buildMenu());
}

void TrayBehaviour::showTestStarted()
{
    rebuildMenuIfEnabled();
}

void TrayBehaviour::showProgress(SpeedTestEngine::Phase phase, double mbps)
{
    if (phase != SpeedTestEngine::Phase::idle)
        m_controller->setActivity(ResultTexts::progressText(phase, mbps));
}

void TrayBehaviour::showTestEnded()
{
    m_controller->setActivity(std::nullopt);
    rebuildMenuIfEnabled();
}

void TrayBehaviour::notifyOutOfSight(const QString &text)
{
    // Started from the tray with the window out of sight, a test would otherwise end unseen:
    // the desktop's notifications say how it went.
    QSystemTrayIcon *item = m_controller->trayIcon();
    if (!item || !m_controller->isItemVisible() || m_host.isWindowInSight())
        return;
    item->showMessage(QStringLiteral("Tachora"), FrenchTypography::typeset(text),
                      AppIcon::application());
}
