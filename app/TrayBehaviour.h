// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/SpeedTestEngine.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>

class LiveThroughputMonitor;
class QAction;
class QMenu;
class QTimer;
class StatusItemController;

// The application's life in the tray: the item and its menu, the live text, a test's phase
// in the item's tool tip, the notification that says how a test ended out of sight, and the
// watch for a tray that comes up after us. What the user asks of it goes to the application
// as signals; what it needs to know of the application, through Host.
class TrayBehaviour : public QObject
{
    Q_OBJECT

public:
    // What the tray needs to know of the application.
    class Host
    {
    public:
        virtual bool isTestRunning() const = 0;
        // Whether the window is on screen, where the user sees how a test went.
        virtual bool isWindowInSight() const = 0;

    protected:
        ~Host() = default;
    };

    TrayBehaviour(Host &host, LiveThroughputMonitor &live, std::function<bool()> trayAvailable,
                  std::chrono::milliseconds retryInterval, QObject *parent = nullptr);

    StatusItemController &controller() const { return *m_controller; }
    // Whether a system tray is there to show our item.
    bool trayAvailable() const { return m_trayAvailable(); }
    // Whether the user chose to live in the tray.
    bool menuBarMode() const;
    // Tray mode is chosen and a tray is there to show the item.
    bool livesInTray() const;

    // The application's entries that the item's menu shares with the window's.
    void setSharedActions(QAction *update, QAction *report, QAction *quit);
    // Shows the item with a fresh menu while the application lives in the tray, else removes it.
    void applyItem();
    // Runs the live counters into the item's text while it lives in the tray and the user
    // wants them, else stops them.
    void applyLiveText();
    // Looks for a tray for a while, when tray mode is chosen and none is there yet.
    void startWatch();

    // A test began or ended: the menu's first entry says what pressing it does now.
    void showTestStarted();
    void showProgress(SpeedTestEngine::Phase phase, double mbps);
    void showTestEnded();
    // Says how a test ended in a desktop notification when the window is not in sight.
    void notifyOutOfSight(const QString &text);

signals:
    void testRequested(QObject *sender);
    void windowRequested(QObject *sender);
    // The watch found a tray: the application may now live there.
    void trayAppeared();

private:
    QMenu *buildMenu();
    void rebuildMenuIfEnabled();
    void watchForTray();

    Host &m_host;
    LiveThroughputMonitor &m_live;
    std::function<bool()> m_trayAvailable;
    StatusItemController *m_controller;
    QTimer *m_watch;
    int m_checksLeft = 0;
    QPointer<QAction> m_updateAction;
    QPointer<QAction> m_reportAction;
    QPointer<QAction> m_quitAction;
};
