// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "PackageInstaller.h"
#include "SettingsPage.h"
#include "TrayBehaviour.h"
#include "Updater.h"

#include "engine/SpeedTestEngine.h"
#include "service/ReportDraft.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

class LiveThroughputMonitor;
class MainView;
class MainWindow;
class PreferencesStore;
class QAbstractButton;
class QAction;
class QDialog;
class QComboBox;
class QMenu;
class QMessageBox;
class QProgressDialog;
class QTimer;
class QUrl;
class QWidget;
class ResultArea;
class ServiceClient;
class StatusItemController;

// What the application runs with; empty fields stand for the production ones.
struct AppSetup
{
    SpeedTestEngine *engine = nullptr;
    LiveThroughputMonitor *live = nullptr;
    QString serviceOrigin;
    // Whether a system tray is there to show our item.
    std::function<bool()> trayAvailable;
    // While in tray mode without a tray: how often to look for one that starts after us (a
    // panel started later at login).
    std::chrono::milliseconds trayRetryInterval{5000};
    // Whether launch uploads the last run's crash and catches this one's. Only the real
    // application does: a test process keeps its own signal handling.
    bool reportCrashes = false;
    // The client of the maker's service; the shared one, set to serviceOrigin, when absent.
    ServiceClient *service = nullptr;
    // The updater's feed, keys, clock and store, when the build has an updater.
    UpdaterConfig updater;
    // Opens a web page or a folder with the desktop's application for it.
    std::function<bool(const QUrl &url)> openUrl;
    // Where PackageKit is asked to install updates; the system bus when absent.
    std::optional<QDBusConnection> packageBus;
    // Whether the connection in use is metered; the network manager's word when absent.
    std::function<bool()> meteredConnection;
};

// The application: it owns the engine, the live monitor, the tray item and the window, and
// every user action arrives at one of its methods. The window's parts are objects of their
// own that it wires up: the result area (ResultArea), the settings page (SettingsPage) and
// the life in the tray (TrayBehaviour). Its operations are spread over files by what they
// do: AppDelegate.cpp (launch, display mode, onboarding), AppWindow.cpp (the window and its
// parts), AppSettings.cpp (what the settings do), AppTestControls.cpp (running a test),
// AppMenus.cpp (the window's menu), AppUpdates.cpp (what the updater tells the user) and
// AppService.cpp (problem reports and the service's messages).
class AppDelegate : public QObject, private SettingsPage::Host, private TrayBehaviour::Host
{
    Q_OBJECT

public:
    using Setup = AppSetup;

    explicit AppDelegate(Setup setup = {}, QObject *parent = nullptr);
    ~AppDelegate() override;

    // The launch sequence; runs the onboarding question modally on a first launch.
    void applicationDidFinishLaunching();
    // Whether closing the window ends the application: not while it lives in the tray.
    bool applicationShouldTerminateAfterLastWindowClosed() const;

    // User actions.
    void testPressed(QObject *sender);
    void showMainWindow(QObject *sender);
    void showMain(QObject *sender);
    void showSettings(QObject *sender);
    void toggleMenuBarMode(QAbstractButton *sender);
    void toggleLiveMenuBar(QAbstractButton *sender);
    void unitChanged(QComboBox *sender);
    void toggleAutoUpdates(QAbstractButton *sender);
    void toggleLoginItem(QAbstractButton *sender);
    void checkForUpdates(QObject *sender);
    void reportProblemPressed(QObject *sender);
    void openKorvel(QObject *sender);
    void showAbout(QObject *sender);

    MainWindow *mainWindow() const { return m_mainWindow; }
    StatusItemController &statusController() const;
    // Null when the build leaves updates to the system's package manager.
    Updater *updater() const { return m_updater; }
    // The tray item is used: tray mode is chosen and a tray is there to show it. Without a
    // tray the application behaves as a windowed one, whatever the preference says.
    bool livesInTray() const;

private:
    bool trayAvailable() const override;
    bool menuBarMode() const override;
    bool isTestRunning() const override;
    bool isWindowInSight() const override;

    void applyDisplayMode();
    void applyQuitRule();
    void showOnboardingIfNeeded();
    void syncWithServer();

    void buildMenu();
    void connectTray();

    void buildMainWindow();
    MainView *buildMainView();
    SettingsPage *buildSettingsPage();

    void updateCheckFinished(Updater::Outcome outcome,
                             const std::optional<Updater::Update> &update);
    void updateFound(const Updater::Update &update, const std::optional<QString> &package);
    void updateDownloaded(const Updater::Update &update, const std::optional<QString> &package);
    void showUpdateAlert(const Updater::Update &update);
    void installFinished(const Updater::Update &update, const QString &package,
                         PackageInstaller::Result result, const QString &details);
    void openDownloadProgress(const Updater::Update &update);
    void showDownloadProgress(qint64 received, qint64 total);
    QMessageBox *newUpdateAlert(const QString &text, const QString &informativeText);

    void testProgress(SpeedTestEngine::Phase phase, double mbps);
    void testFinished(const std::optional<SpeedTestEngine::Result> &result);
    // What the gauge says when a test ends without a result that the user did not cancel.
    QString failureCaption() const;
    void startTest();
    // On a metered connection, asks before the session's first test; the test starts if the
    // user says so.
    void askBeforeMeteredTest();
    void refreshResultsUI();

    QCoro::Task<> sendReport(QString text, QString email);
    QCoro::Task<> runSync();
    // The main window when it is on screen, so that alerts open over it.
    QWidget *alertParent() const;
    // A plain-text alert that deletes itself when closed, not shown yet.
    QMessageBox *newAlert(const QString &text, const QString &informativeText);
    QMessageBox *openAlert(const QString &title, const QString &text);

    SpeedTestEngine &m_engine;
    LiveThroughputMonitor &m_live;
    PreferencesStore &m_store;
    std::function<bool()> m_meteredConnection;
    // On a metered connection, the user said to test anyway for this session.
    bool m_meteredAccepted = false;
    // The item, its menu, the live text and the watch for a tray.
    TrayBehaviour *m_tray;
    MainWindow *m_mainWindow = nullptr;
    // Holds the gauge, the tiles, the test button and the history lines.
    MainView *m_mainView = nullptr;
    // What the gauge, the tiles and the history lines say.
    ResultArea *m_resultArea = nullptr;
    SettingsPage *m_settingsPage = nullptr;
    Updater *m_updater = nullptr;
    PackageInstaller *m_installer;
    std::function<bool(const QUrl &url)> m_openUrl;
    QPointer<QMessageBox> m_updateAlert;
    // The package the user asked for, on its way.
    QPointer<QProgressDialog> m_downloadProgress;
    // The same actions serve the window's menu and the tray item's.
    QAction *m_updateAction = nullptr;
    QAction *m_reportAction = nullptr;
    QAction *m_quitAction = nullptr;
    QMenu *m_mainMenu = nullptr;
    std::optional<SpeedTestEngine::Result> m_lastResult;
    bool m_userCancelled = false;
    QTimer *m_hourlyTimer = nullptr;
    bool m_reportCrashes = false;
    ServiceClient &m_service;
    QPointer<QDialog> m_reportForm;
    // Reports on their way to the service, as sent.
    QList<ReportDraft> m_reportsSending;
    // The service's message on screen; no other sync runs until it is closed.
    QPointer<QMessageBox> m_messageAlert;
    bool m_syncRunning = false;
};
