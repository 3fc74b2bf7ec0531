// SPDX-License-Identifier: GPL-3.0-or-later
// What the settings do. Every control acts at once; there is nothing to apply or cancel.

#include "AppDelegate.h"
#include "LoginItem.h"
#include "MainWindow.h"
#include "SettingsPage.h"
#include "TrayBehaviour.h"

#include "platform/BuildConfig.h"
#include "settings/SpeedSettings.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QSignalBlocker>
#include <QUrl>

void AppDelegate::showSettings(QObject *)
{
    if (!m_mainWindow)
        return;
    m_mainWindow->showSettingsView();
    m_settingsPage->refresh();
}

void AppDelegate::toggleLiveMenuBar(QAbstractButton *sender)
{
    SpeedSettings::setLiveMenuBar(sender && sender->isChecked());
    m_tray->applyLiveText();
}

void AppDelegate::unitChanged(QComboBox *sender)
{
    SpeedSettings::setUnitMBytes(sender && sender->currentData().toInt() == 1);
    refreshResultsUI();
}

void AppDelegate::toggleAutoUpdates(QAbstractButton *sender)
{
    if (!m_updater)
        return;
    // The two switches always move together from here.
    const bool on = sender && sender->isChecked();
    m_updater->setAutomaticallyChecksForUpdates(on);
    m_updater->setAutomaticallyDownloadsUpdates(on);
}

void AppDelegate::toggleLoginItem(QAbstractButton *sender)
{
    if (!sender)
        return;
    const std::optional<QString> failure =
        sender->isChecked() ? LoginItem::registerItem(QCoreApplication::applicationFilePath())
                            : LoginItem::unregisterItem();
    if (!failure)
        return;
    qWarning().noquote() << QStringLiteral("Tachora: ouverture à la connexion: ") + *failure;
    const QSignalBlocker blocker(sender);
    sender->setChecked(LoginItem::isEnabled());
}

void AppDelegate::openKorvel(QObject *)
{
    const QUrl site(QString::fromLatin1(BuildConfig::siteUrl));
    if (site.isValid() && !site.host().isEmpty())
        m_openUrl(site);
}
