// SPDX-License-Identifier: GPL-3.0-or-later
// The settings view and what its controls do. Every control acts at once; there is nothing
// to apply or cancel.

#include "AppDelegate.h"
#include "LoginItem.h"
#include "MainWindow.h"
#include "SettingsWidgets.h"

#include "platform/BuildConfig.h"
#include "settings/FrenchTypography.h"
#include "settings/ResultTexts.h"
#include "settings/SpeedSettings.h"
#include "views/FlippedView.h"
#include "views/LabelFactory.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QToolButton>
#include <QUrl>

using namespace SettingsWidgets;

namespace {

const QString noTrayTip = FrenchTypography::typeset(
    QStringLiteral("Aucune zone de notification ici : Tachora reste en fenêtre."));
const QString liveHintText = FrenchTypography::typeset(
    QStringLiteral("S’affiche quand Tachora vit dans la zone de notification."));

} // namespace

QWidget *AppDelegate::buildSettingsView()
{
    auto *view = new FlippedView(QRect(QPoint(0, 0), MainWindow::contentSize));
    view->setObjectName(QStringLiteral("settingsView"));
    QToolButton *back = newBackButton(view);
    back->setObjectName(QStringLiteral("backButton"));
    back->setAccessibleName(QStringLiteral("Retour"));
    back->setToolTip(QStringLiteral("Retour (Échap)"));
    back->setAutoRaise(true);
    back->setIconSize(QSize(16, 16));
    back->setCursor(Qt::PointingHandCursor);
    back->setGeometry(18, 46, 28, 28);
    connect(back, &QToolButton::clicked, this, [this, back] { showMain(back); });
    placeLabel(makeLabel(QStringLiteral("Réglages"), 20, QFont::Bold, ViewColor::label), view, 54,
               60);
    addSettingsControls(view);
    addSettingsFooter(view);
    return view;
}

void AppDelegate::addSettingsControls(QWidget *view)
{
    // States are read once, here; only the login item's is read again when the view shows.
    // Filling a control must not count as the user changing it.
    const auto checkbox = [this, view](const QString &title, int y, const char *name, bool on,
                                       void (AppDelegate::*action)(QAbstractButton *)) {
        QCheckBox *box = newCheckBox(title);
        fitText(box, rowRight - rowX);
        place(box, view, rowX, y, name);
        const QSignalBlocker blocker(box);
        box->setChecked(on);
        connect(box, &QCheckBox::clicked, this, [this, box, action] { (this->*action)(box); });
        return box;
    };

    addCard(view, QRect(24, 104, 382, 40));
    m_liveCheckbox =
        checkbox(QStringLiteral("Débit en direct dans la zone de notification"), 115,
                 "liveCheckbox", SpeedSettings::liveMenuBar(), &AppDelegate::toggleLiveMenuBar);
    // It can be chosen before switching to the tray, where it then shows.
    place(makeLabel(liveHintText, 11, QFont::Normal, ViewColor::secondaryLabel), view, rowX, 147,
          "liveHint")
        ->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    addCard(view, QRect(24, 168, 382, 80));
    const auto rowLabel = [view](const QString &text, int centreY) {
        placeLabel(makeLabel(text, 13, QFont::Normal, ViewColor::label), view, rowX, centreY);
    };
    rowLabel(QStringLiteral("Unité d’affichage"), 193);
    QComboBox *unit = addPopUp(view, QRect(290, 180, 100, 26), "unitPopUp");
    {
        const QSignalBlocker blocker(unit);
        unit->addItem(QStringLiteral("Mbps"), 0);
        unit->addItem(QStringLiteral("Mo/s"), 1);
        unit->setCurrentIndex(unit->findData(SpeedSettings::unitMBytes() ? 1 : 0));
    }
    connect(unit, &QComboBox::activated, this, [this, unit] { unitChanged(unit); });
    rowLabel(QStringLiteral("Serveur de test"), 229);
    // Only shows the server; choosing its one entry changes nothing. A host too long for it
    // keeps both ends, its port among them, and shows whole in its tool tip.
    const QString origin = m_engine.config().host;
    const QString server = ResultTexts::serverText(origin);
    QComboBox *serverPopUp = addPopUp(view, QRect(260, 216, 130, 26), "serverPopUp");
    QStyleOptionComboBox option;
    option.initFrom(serverPopUp);
    const QRect field = serverPopUp->style()->subControlRect(
        QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, serverPopUp);
    serverPopUp->addItem(
        serverPopUp->fontMetrics().elidedText(server, Qt::ElideMiddle, field.width() - 4));
    serverPopUp->setItemData(0, server, Qt::ToolTipRole);
    serverPopUp->setToolTip(server);

    addCard(view, QRect(24, 272, 382, 96));
    if (m_updater) {
        checkbox(QStringLiteral("Installer les mises à jour automatiquement"), 284,
                 "autoUpdatesCheckbox",
                 m_updater->automaticallyChecksForUpdates()
                     && m_updater->automaticallyDownloadsUpdates(),
                 &AppDelegate::toggleAutoUpdates);
    } else {
        place(makeLabel(QStringLiteral("Mises à jour par le gestionnaire de paquets"), 13,
                        QFont::Normal, ViewColor::secondaryLabel),
              view, rowX, 286, "updatesLabel");
    }
    m_menuBarCheckbox =
        checkbox(QStringLiteral("Icône dans la zone de notification (au lieu d’une fenêtre)"), 312,
                 "menuBarCheckbox", menuBarMode(), &AppDelegate::toggleMenuBarMode);
    m_loginCheckbox = checkbox(QStringLiteral("Ouvrir à la connexion"), 340, "loginCheckbox",
                               LoginItem::isEnabled(), &AppDelegate::toggleLoginItem);
    updateSettingsAvailability();
}

void AppDelegate::updateSettingsAvailability()
{
    // Asked once: under a D-Bus tray each question is a blocking round trip on the bus.
    const bool tray = m_trayAvailable();
    // The live text lives in the tray item: in a window, a line says where it will show;
    // without a tray, the same line says why the tray's rows can do nothing, where it is
    // seen rather than only in a tool tip.
    if (auto *hint = m_liveCheckbox
                         ? m_liveCheckbox->parentWidget()->findChild<QLabel *>("liveHint")
                         : nullptr) {
        hint->setText(tray ? liveHintText : noTrayTip);
        hint->adjustSize();
        hint->setVisible(!(tray && menuBarMode()));
    }
    if (m_menuBarCheckbox) {
        m_menuBarCheckbox->setEnabled(tray);
        m_menuBarCheckbox->setToolTip(tray ? QString() : noTrayTip);
    }
}

void AppDelegate::addSettingsFooter(QWidget *view)
{
    QList<std::pair<QString, const char *>> buttons;
    if (m_updater)
        buttons.append({QStringLiteral("Rechercher des mises à jour…"), "updateButton"});
    buttons.append({QStringLiteral("Signaler un problème…"), "reportButton"});
    const QList<QPushButton *> row = placeButtonRow(view, 392, buttons);
    if (m_updater) {
        QPushButton *update = row.constFirst();
        connect(update, &QPushButton::clicked, this, [this, update] { checkForUpdates(update); });
    }
    QPushButton *report = row.constLast();
    connect(report, &QPushButton::clicked, this, [this, report] { reportProblemPressed(report); });
    newSeparatorLine(view)->setGeometry(24, 440, 382, 1);

    place(makeLabel(QStringLiteral("Tachora v") + QLatin1String(BuildConfig::version), 12,
                    QFont::DemiBold, ViewColor::label),
          view, 24, 498, "versionLabel")
        ->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(makeLabel(QStringLiteral("Conçu et développé par Korvel, un petit atelier "
                                   "indépendant.\nUne idée, un souci ? Écris-nous."),
                    11, QFont::Normal, ViewColor::secondaryLabel),
          view, 24, 516, "makerLabel")
        ->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPushButton *link = newLinkButton(QUrl(QString::fromLatin1(BuildConfig::siteUrl)).host());
    link->setFont(systemFont(12, QFont::DemiBold));
    link->setCursor(Qt::PointingHandCursor);
    link->setAccessibleName(QStringLiteral("Site de Korvel"));
    place(link, view, 24, 547, "makerLink");
    connect(link, &QPushButton::clicked, this, [this, link] { openKorvel(link); });
}

void AppDelegate::showSettings(QObject *)
{
    if (!m_mainWindow)
        return;
    m_mainWindow->showSettingsView();
    updateSettingsAvailability();
    // The desktop's own settings may have changed it since.
    if (m_loginCheckbox) {
        const QSignalBlocker blocker(m_loginCheckbox);
        m_loginCheckbox->setChecked(LoginItem::isEnabled());
    }
}

void AppDelegate::toggleLiveMenuBar(QAbstractButton *sender)
{
    SpeedSettings::setLiveMenuBar(sender && sender->isChecked());
    applyLiveMode();
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
