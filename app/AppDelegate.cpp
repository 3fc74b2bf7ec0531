// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppDelegate.h"

#include "AlertStyle.h"
#include "MainWindow.h"

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
#include "settings/SpeedSettings.h"

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
// How many times a launch or a switch to tray mode looks for a tray that comes up late.
constexpr int trayChecks = 5;
// The welcome's two choices each on a line or two, not a column of short ones.
constexpr int onboardingTextWidth = 420;

} // namespace

AppDelegate::AppDelegate(Setup setup, QObject *parent)
    : QObject(parent)
    , m_engine(setup.engine ? *setup.engine : SpeedTestEngine::shared())
    , m_live(setup.live ? *setup.live : LiveThroughputMonitor::shared())
    , m_store(PreferencesStore::shared())
    , m_trayAvailable(setup.trayAvailable ? std::move(setup.trayAvailable)
                                          : &QSystemTrayIcon::isSystemTrayAvailable)
    , m_meteredConnection(setup.meteredConnection ? std::move(setup.meteredConnection)
                                                  : &MeteredConnection::isMetered)
    , m_statusController(new StatusItemController(this))
    , m_updater(BuildConfig::updaterEnabled ? new Updater(std::move(setup.updater), this) : nullptr)
    , m_installer(new PackageInstaller(std::move(setup.packageBus), this))
    , m_openUrl(setup.openUrl ? std::move(setup.openUrl) : &QDesktopServices::openUrl)
    , m_hourlyTimer(new QTimer(this))
    , m_trayWatch(new QTimer(this))
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
    m_trayWatch->setObjectName(QStringLiteral("trayWatch"));
    m_trayWatch->setInterval(setup.trayRetryInterval);
    connect(m_trayWatch, &QTimer::timeout, this, &AppDelegate::watchForTray);
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

    if (livesInTray())
        m_statusController->enable(buildStatusMenu());
    showOnboardingIfNeeded();
    applyLiveMode();
    refreshResultsUI();
    syncWithServer();
    m_hourlyTimer->start();
    startTrayWatch();
    if (m_updater)
        m_updater->setUpdateCheckInterval(updateCheckInterval);

    if (qgetenv("KORVEL_DEBUG_SETTINGS") == "1")
        showSettings(nullptr);
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() const
{
    return !livesInTray();
}

bool AppDelegate::livesInTray() const
{
    return menuBarMode() && m_trayAvailable();
}

bool AppDelegate::menuBarMode() const
{
    return m_store.boolValue(PreferenceKeys::menuBarMode);
}

void AppDelegate::applyQuitRule()
{
    QGuiApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
}

void AppDelegate::applyDisplayMode()
{
    if (livesInTray()) {
        m_statusController->enable(buildStatusMenu());
    } else {
        m_statusController->disable();
        // After the current event, so that a menu or dialog that triggered this is gone.
        QTimer::singleShot(0, this, [this] { showMainWindow(nullptr); });
    }
    applyQuitRule();
    applyLiveMode();
    updateSettingsAvailability();
}

void AppDelegate::toggleMenuBarMode(QAbstractButton *sender)
{
    m_store.setBool(PreferenceKeys::menuBarMode, sender && sender->isChecked());
    startTrayWatch();
    applyDisplayMode();
}

void AppDelegate::applyLiveMode()
{
    if (livesInTray() && SpeedSettings::liveMenuBar()) {
        QPointer<AppDelegate> self(this);
        m_live.onSample = [self](double down, double) {
            if (self)
                self->m_statusController->setLiveText(QStringLiteral("↓")
                                                      + LiveThroughputMonitor::compact(down));
        };
        m_live.start();
    } else {
        m_live.stop();
        m_statusController->setLiveText(std::nullopt);
    }
}

void AppDelegate::startTrayWatch()
{
    if (!menuBarMode() || livesInTray())
        return;
    m_trayChecksLeft = trayChecks;
    m_trayWatch->start();
}

void AppDelegate::watchForTray()
{
    if (!menuBarMode() || livesInTray() || --m_trayChecksLeft <= 0)
        m_trayWatch->stop();
    if (livesInTray())
        applyDisplayMode();
}

void AppDelegate::showOnboardingIfNeeded()
{
    if (m_store.boolValue(PreferenceKeys::onboarded))
        return;
    // Without a tray the choice would change nothing: ask at the first launch that has one.
    if (!m_trayAvailable())
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
    if (m_menuBarCheckbox)
        m_menuBarCheckbox->setChecked(menuBar);
    applyDisplayMode();
}
