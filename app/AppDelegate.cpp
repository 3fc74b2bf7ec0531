// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppDelegate.h"

#include "AlertStyle.h"
#include "MainWindow.h"
#include "SettingsPage.h"
#include "TrayBehaviour.h"

#include "service/ServiceClient.h"

#include "diagnostics/CrashReporter.h"

#include "live/LiveThroughputMonitor.h"
#include "live/StatusItemController.h"
#include "platform/BuildConfig.h"
#include "platform/MeteredConnection.h"
#include "platform/PreferencesStore.h"
#include "settings/FrenchTypography.h"
#include "settings/PreferenceKeys.h"
#include "settings/SpeedHistory.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

constexpr std::chrono::hours syncInterval{1};
constexpr std::chrono::hours updateCheckInterval{1};
// The welcome's two choices each on a line or two, not a column of short ones.
constexpr int onboardingTextWidth = 420;

} // namespace

AppDelegate::AppDelegate(Setup setup, QObject *parent)
    : QObject(parent)
    , m_engine(setup.engine ? *setup.engine : SpeedTestEngine::shared())
    , m_live(setup.live ? *setup.live : LiveThroughputMonitor::shared())
    , m_store(PreferencesStore::shared())
    , m_meteredConnection(setup.meteredConnection ? std::move(setup.meteredConnection)
                                                  : &MeteredConnection::isMetered)
    , m_tray(new TrayBehaviour(*this, m_live,
                               setup.trayAvailable ? std::move(setup.trayAvailable)
                                                   : &QSystemTrayIcon::isSystemTrayAvailable,
                               setup.trayRetryInterval, this))
    , m_updater(BuildConfig::updaterEnabled ? new Updater(std::move(setup.updater), this) : nullptr)
    , m_installer(new PackageInstaller(std::move(setup.packageBus), this))
    , m_openUrl(setup.openUrl ? std::move(setup.openUrl) : &QDesktopServices::openUrl)
    , m_hourlyTimer(new QTimer(this))
    , m_reportCrashes(setup.reportCrashes)
    , m_service(setup.service ? *setup.service : ServiceClient::shared())
{
    if (!setup.service)
        m_service.setOrigin(setup.serviceOrigin);
    const QList<SpeedTestEngine::Result> history = SpeedHistory::all();
    if (!history.isEmpty())
        m_lastResult = history.constFirst();
    m_hourlyTimer->setObjectName(QStringLiteral("hourlySync"));
    m_hourlyTimer->setInterval(syncInterval);
    connect(m_hourlyTimer, &QTimer::timeout, this, &AppDelegate::syncWithServer);
    connectTray();
    // The updater is ours and goes with us, so its callbacks need no guard.
    if (m_updater) {
        m_updater->onCheckFinished = [this](Updater::Outcome outcome,
                                            const std::optional<Updater::Update> &update) {
            updateCheckFinished(outcome, update);
        };
        m_updater->onUpdateFound = [this](const Updater::Update &update,
                                          const std::optional<QString> &package) {
            updateFound(update, package);
        };
        m_updater->onDownloadFinished = [this](const Updater::Update &update,
                                               const std::optional<QString> &package) {
            updateDownloaded(update, package);
        };
        m_updater->onDownloadProgress = [this](qint64 received, qint64 total) {
            showDownloadProgress(received, total);
        };
    }
}

AppDelegate::~AppDelegate()
{
    delete m_mainWindow;
}

void AppDelegate::applicationDidFinishLaunching()
{
    // First, so that what the last run left goes out and a fault from here on is caught.
    if (m_reportCrashes) {
        CrashReporter::setServiceOrigin(m_service.origin());
        CrashReporter::install();
    }
    applyQuitRule();
    buildMenu();
    buildMainWindow();

    // The engine may outlive us: its callbacks check that we are still there.
    QPointer<AppDelegate> self(this);
    m_engine.onProgress = [self](SpeedTestEngine::Phase phase, double mbps) {
        if (self)
            self->testProgress(phase, mbps);
    };
    m_engine.onFinished = [self](std::optional<SpeedTestEngine::Result> result) {
        if (self)
            self->testFinished(result);
    };

    m_tray->applyItem();
    showOnboardingIfNeeded();
    m_tray->applyLiveText();
    refreshResultsUI();
    syncWithServer();
    m_hourlyTimer->start();
    m_tray->startWatch();
    if (m_updater)
        m_updater->setUpdateCheckInterval(updateCheckInterval);

    if (qgetenv("KORVEL_DEBUG_SETTINGS") == "1")
        showSettings(nullptr);
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() const
{
    return !livesInTray();
}

StatusItemController &AppDelegate::statusController() const
{
    return m_tray->controller();
}

bool AppDelegate::livesInTray() const
{
    return m_tray->livesInTray();
}

bool AppDelegate::trayAvailable() const
{
    return m_tray->trayAvailable();
}

bool AppDelegate::menuBarMode() const
{
    return m_tray->menuBarMode();
}

bool AppDelegate::isTestRunning() const
{
    return m_engine.isRunning();
}

bool AppDelegate::isWindowInSight() const
{
    return m_mainWindow && m_mainWindow->isVisible();
}

void AppDelegate::applyQuitRule()
{
    QGuiApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
}

void AppDelegate::applyDisplayMode()
{
    m_tray->applyItem();
    // After the current event, so that a menu or dialog that triggered this is gone.
    if (!livesInTray())
        QTimer::singleShot(0, this, [this] { showMainWindow(nullptr); });
    applyQuitRule();
    m_tray->applyLiveText();
    if (m_settingsPage)
        m_settingsPage->updateAvailability();
}

void AppDelegate::toggleMenuBarMode(QAbstractButton *sender)
{
    m_store.setBool(PreferenceKeys::menuBarMode, sender && sender->isChecked());
    m_tray->startWatch();
    applyDisplayMode();
}

void AppDelegate::showOnboardingIfNeeded()
{
    if (m_store.boolValue(PreferenceKeys::onboarded))
        return;
    // Without a tray the choice would change nothing: ask at the first launch that has one.
    if (!trayAvailable())
        return;
    // Stored before the question, so that it is put at most once even if we are quit
    // while it is on screen.
    m_store.setBool(PreferenceKeys::onboarded, true);

    QMessageBox alert(alertParent());
    alert.setObjectName(QStringLiteral("onboardingAlert"));
    alert.setWindowTitle(QStringLiteral("Tachora"));
    alert.setTextFormat(Qt::PlainText);
    alert.setText(QStringLiteral("Bienvenue dans Tachora 🚀"));
    alert.setInformativeText(FrenchTypography::typeset(QStringLiteral(
        "Où veux-tu que l’app vive ?\n\nDans une fenêtre : une app classique, que tu ouvres pour "
        "mesurer.\nDans la zone de notification : une icône discrète près de l’horloge, qui peut "
        "même afficher ton débit en direct.\n\nTu pourras changer d’avis à tout moment dans "
        "les réglages.")));
    // The same role for both keeps them in this order on every desktop's button layout.
    QPushButton *dock =
        alert.addButton(QStringLiteral("Dans une fenêtre"), QMessageBox::ActionRole);
    QPushButton *tray =
        alert.addButton(QStringLiteral("Dans la zone de notification"), QMessageBox::ActionRole);
    dock->setObjectName(QStringLiteral("dockButton"));
    tray->setObjectName(QStringLiteral("menuBarButton"));
    alert.setDefaultButton(dock);
    // Escape and the window's close button give the default answer, like any answer but
    // the tray.
    alert.setEscapeButton(dock);
    AlertStyle::apply(&alert, onboardingTextWidth);
    alert.exec();

    const bool menuBar = alert.clickedButton() == tray;
    m_store.setBool(PreferenceKeys::menuBarMode, menuBar);
    if (m_settingsPage)
        m_settingsPage->showMenuBarMode(menuBar);
    applyDisplayMode();
}
