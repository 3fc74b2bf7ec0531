// SPDX-License-Identifier: GPL-3.0-or-later
// What the updater tells the user: the answer to a check they asked for, a release found by a
// scheduled check (once per version), and the package it fetched for installation.

#include "AppDelegate.h"
#include "AppIcon.h"

#include "live/StatusItemController.h"
#include "platform/BuildConfig.h"
#include "settings/FrenchTypography.h"

#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
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
        newUpdateAlert(
            QStringLiteral("Tachora est à jour"),
            FrenchTypography::typeset(QStringLiteral("La version %1 est la plus récente."),
                                      QLatin1String(BuildConfig::version)))
            ->open();
        break;
    case Updater::Outcome::failed:
        newUpdateAlert(QStringLiteral("Impossible de rechercher les mises à jour"),
                       FrenchTypography::typeset(
                           QStringLiteral("Vérifie ta connexion, puis réessaie plus tard.")))
            ->open();
        break;
    }
}

void AppDelegate::updateFound(const Updater::Update &update, const std::optional<QString> &package)
{
    if (!m_tray->controller().isItemVisible()) {
        showUpdateAlert(update);
        return;
    }
    QSystemTrayIcon *item = m_tray->controller().trayIcon();
    connect(
        item, &QSystemTrayIcon::messageClicked, this, [this, update] { showUpdateAlert(update); },
        Qt::SingleShotConnection);
    item->showMessage(QStringLiteral("Tachora %1 est disponible").arg(update.version),
                      FrenchTypography::typeset(
                          package
                              ? QStringLiteral("Elle est téléchargée : clique pour l’installer.")
                              : QStringLiteral("Clique pour en savoir plus.")),
                      AppIcon::application());
}

void AppDelegate::showUpdateAlert(const Updater::Update &update)
{
    // The release notes are the feed's words: shown as they are.
    QString details = FrenchTypography::typeset(QStringLiteral("Tu as la version %1."),
                                                QLatin1String(BuildConfig::version));
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
    if (!package) {
        newUpdateAlert(
            QStringLiteral("Impossible d’installer Tachora %1").arg(update.version),
            FrenchTypography::typeset(QStringLiteral("Le paquet n’a pas pu être téléchargé intact. "
                                                     "Réessaie plus tard.")))
            ->open();
        return;
    }
    // The system's package installer takes it from here, and asks for the password itself.
    m_installer->onFinished = [this, update, path = *package](PackageInstaller::Result result,
                                                              const QString &details) {
        installFinished(update, path, result, details);
    };
    m_installer->install(*package);
}

void AppDelegate::installFinished(const Updater::Update &update, const QString &package,
                                  PackageInstaller::Result result, const QString &details)
{
    if (result == PackageInstaller::Result::installed) {
        newUpdateAlert(QStringLiteral("Tachora %1 est installée").arg(update.version),
                       FrenchTypography::typeset(
                           QStringLiteral("Quitte Tachora et relance-la pour passer à la nouvelle "
                                          "version.")))
            ->open();
        return;
    }
    // Without an installer that answers, the user installs it: the package is shown in its
    // folder, with the command that does it.
    const QFileInfo file(package);
    m_openUrl(QUrl::fromLocalFile(file.absolutePath()));
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+-]+$"));
    QString path = file.absoluteFilePath();
    if (!plain.match(path).hasMatch())
        path = u'\'' + path.replace(u'\'', QStringLiteral("'\\''")) + u'\'';
    const QString command = QStringLiteral("sudo apt install %1").arg(path);
    // The command and the installer's own words are shown as they are: the user copies one,
    // and the other is not ours to retouch.
    const QString why =
        result == PackageInstaller::Result::unavailable
            ? FrenchTypography::typeset(QStringLiteral("Aucun installateur de paquets ne répond."))
        : details.isEmpty()
            ? FrenchTypography::typeset(QStringLiteral("L’installateur de paquets a échoué."))
            : FrenchTypography::typeset(QStringLiteral("L’installateur de paquets a échoué : %1."),
                                        details);
    QMessageBox *alert = newUpdateAlert(
        QStringLiteral("Installe Tachora %1 toi-même").arg(update.version),
        FrenchTypography::typeset(
            QStringLiteral("%1 Le paquet est dans le dossier qui vient de s’ouvrir ; pour "
                           "l’installer, lance dans un terminal :\n\n%2"),
            why, command));
    for (QLabel *label : alert->findChildren<QLabel *>())
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    alert->open();
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
