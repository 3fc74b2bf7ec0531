// What the updater tells the user: the answer to a check they asked for, a release found by a
// scheduled check (once per version), and the package it fetched for installation.

#include "AppDelegate.h"
#include "AppIcon.h"

#include "live/StatusItemController.h"
#include "platform/BuildConfig.h"

#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QUrl>

void AppDelegate::checkForUpdates(QObject *)
{
    if (m_updater)
        m_updater->checkForUpdates();
}

void AppDelegate::updateCheckFinished(Updater::Outcome outcome,
                                      const std::optional<Updater::Update> &update)
{
    switch (outcome) {
    case Updater::Outcome::available:
        showUpdateAlert(*update);
        break;
    case Updater::Outcome::upToDate:
        newUpdateAlert(QStringLiteral("Tachora est à jour"),
                       QStringLiteral("La version %1 est la plus récente.")
                           .arg(QLatin1String(BuildConfig::version)))
            ->open();
        break;
    case Updater::Outcome::failed:
        newUpdateAlert(QStringLiteral("Impossible de rechercher les mises à jour"),
                       QStringLiteral("Vérifie ta connexion, puis réessaie plus tard."))
            ->open();
        break;
    }
}

void AppDelegate::updateFound(const Updater::Update &update, const std::optional<QString> &package)
{
    if (!m_statusController->isItemVisible()) {
        showUpdateAlert(update);
        return;
    }
    QSystemTrayIcon *item = m_statusController->trayIcon();
    connect(
        item, &QSystemTrayIcon::messageClicked, this, [this, update] { showUpdateAlert(update); },
        Qt::SingleShotConnection);
    item->showMessage(QStringLiteral("Tachora %1 est disponible").arg(update.version),
                      package ? QStringLiteral("Elle est téléchargée : clique pour l'installer.")
                              : QStringLiteral("Clique pour en savoir plus."),
                      AppIcon::application());
}

void AppDelegate::showUpdateAlert(const Updater::Update &update)
{
    QString details =
        QStringLiteral("Tu as la version %1.").arg(QLatin1String(BuildConfig::version));
    if (!update.notes.isEmpty())
        details += QStringLiteral("\n\n") + update.notes;
    QMessageBox *alert =
        newUpdateAlert(QStringLiteral("Tachora %1 est disponible").arg(update.version), details);
    QPushButton *install = alert->addButton(QStringLiteral("Installer"), QMessageBox::AcceptRole);
    install->setObjectName(QStringLiteral("installButton"));
    alert->setDefaultButton(install);
    alert->addButton(QStringLiteral("Plus tard"), QMessageBox::RejectRole);
    connect(install, &QPushButton::clicked, this, [this, update] {
        if (!m_updater)
            return;
        openDownloadProgress(update);
        m_updater->downloadUpdate(update);
    });
    alert->open();
}

void AppDelegate::openDownloadProgress(const Updater::Update &update)
{
    if (m_downloadProgress)
        return;
    auto *progress =
        new QProgressDialog(QStringLiteral("Téléchargement de Tachora %1…").arg(update.version),
                            QStringLiteral("Annuler"), 0, 0, alertParent());
    progress->setObjectName(QStringLiteral("downloadProgress"));
    progress->setWindowTitle(QStringLiteral("Tachora"));
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    progress->setMinimumDuration(0);
    connect(progress, &QProgressDialog::canceled, this, [this, progress] {
        if (m_updater)
            m_updater->cancelDownload();
        progress->deleteLater();
        m_downloadProgress = nullptr;
    });
    m_downloadProgress = progress;
    progress->show();
}

void AppDelegate::showDownloadProgress(qint64 received, qint64 total)
{
    // Packages are at most a few hundred megabytes: an int counts them.
    if (m_downloadProgress) {
        m_downloadProgress->setMaximum(int(total));
        m_downloadProgress->setValue(int(received));
    }
}

void AppDelegate::updateDownloaded(const Updater::Update &update,
                                   const std::optional<QString> &package)
{
    if (m_downloadProgress) {
        // Closing it would count as a cancel.
        m_downloadProgress->disconnect(this);
        m_downloadProgress->deleteLater();
        m_downloadProgress = nullptr;
    }
    // The desktop's package installer takes it from here.
    if (package && m_openUrl(QUrl::fromLocalFile(*package)))
        return;
    newUpdateAlert(QStringLiteral("Impossible d'installer Tachora %1").arg(update.version),
                   package
                       ? QStringLiteral("Aucune application n'ouvre le paquet %1.").arg(*package)
                       : QStringLiteral("Le paquet n'a pas pu être téléchargé intact. "
                                        "Réessaie plus tard."))
        ->open();
}

QMessageBox *AppDelegate::newUpdateAlert(const QString &text, const QString &informativeText)
{
    // One answer on screen at a time: a newer one replaces it.
    if (m_updateAlert)
        m_updateAlert->close();
    QMessageBox *alert = newAlert(text, informativeText);
    alert->setObjectName(QStringLiteral("updateAlert"));
    m_updateAlert = alert;
    return alert;
}
