// SPDX-License-Identifier: GPL-3.0-or-later
#include "SettingsPage.h"

#include "LoginItem.h"
#include "MainWindow.h"
#include "SettingsWidgets.h"

#include "platform/BuildConfig.h"
#include "settings/FrenchTypography.h"
#include "settings/ResultTexts.h"
#include "settings/SpeedSettings.h"
#include "views/FlippedView.h"
#include "views/LabelFactory.h"

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

// The cards' tops: the live text with its line under it, then the display, then the
// application's own settings, cardGap apart, with the buttons as far under them.
constexpr int cardGap = 24;
constexpr int liveCard = 104;
constexpr int displayCard = 168;
constexpr int applicationCard = 264;

} // namespace

SettingsPage::SettingsPage(Host &host, const QString &server, std::optional<bool> autoUpdates,
                           QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_view(new FlippedView(QRect(QPoint(0, 0), MainWindow::contentSize)))
{
    m_view->setObjectName(QStringLiteral("settingsView"));
    addHeader();
    addControls(server, autoUpdates);
    addFooter(autoUpdates.has_value());
}

void SettingsPage::addHeader()
{
    QToolButton *back = newBackButton(m_view);
    back->setObjectName(QStringLiteral("backButton"));
    back->setAccessibleName(QStringLiteral("Retour"));
    back->setToolTip(QStringLiteral("Retour (Échap)"));
    back->setAutoRaise(true);
    back->setIconSize(QSize(16, 16));
    back->setCursor(Qt::PointingHandCursor);
    back->setGeometry(18, 46, 28, 28);
    connect(back, &QToolButton::clicked, this, [this, back] { emit backPressed(back); });
    placeLabel(makeLabel(QStringLiteral("Réglages"), 20, QFont::Bold, ViewColor::label), m_view, 54,
               60);
}

void SettingsPage::addControls(const QString &server, std::optional<bool> autoUpdates)
{
    QWidget *view = m_view;
    // States are read once, here; only the login item's is read again when the page shows.
    // Filling a control must not count as the user changing it.
    const auto checkbox = [this, view](const QString &title, int top, const char *name, bool on,
                                       void (SettingsPage::*toggled)(QAbstractButton *)) {
        QCheckBox *box = newCheckBox(title);
        fitText(box, rowRight - rowX);
        placeRow(box, view, rowX, top, name);
        const QSignalBlocker blocker(box);
        box->setChecked(on);
        connect(box, &QCheckBox::clicked, this,
                [this, box, toggled] { emit(this->*toggled)(box); });
        return box;
    };

    addCard(view, cardFrame(liveCard, 1));
    checkbox(QStringLiteral("Débit en direct dans la zone de notification"), rowTop(liveCard, 0),
             "liveCheckbox", SpeedSettings::liveMenuBar(), &SettingsPage::liveMenuBarToggled);
    // It can be chosen before switching to the tray, where it then shows.
    m_liveHint = place(makeLabel(liveHintText, 11, QFont::Normal, ViewColor::secondaryLabel), view,
                       rowX, cardFrame(liveCard, 1).bottom() + 4, "liveHint");
    m_liveHint->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    addCard(view, cardFrame(displayCard, 2));
    const auto rowLabel = [view](const QString &text, int top) {
        placeLabel(makeLabel(text, 13, QFont::Normal, ViewColor::label), view, rowX,
                   top + rowHeight / 2);
    };
    rowLabel(QStringLiteral("Unité d’affichage"), rowTop(displayCard, 0));
    QComboBox *unit = addPopUp(view, rowTop(displayCard, 0), 100, "unitPopUp");
    {
        const QSignalBlocker blocker(unit);
        unit->addItem(QStringLiteral("Mbps"), 0);
        unit->addItem(QStringLiteral("Mo/s"), 1);
        unit->setCurrentIndex(unit->findData(SpeedSettings::unitMBytes() ? 1 : 0));
    }
    connect(unit, &QComboBox::activated, this, [this, unit] { emit unitChosen(unit); });
    rowLabel(QStringLiteral("Serveur de test"), rowTop(displayCard, 1));
    // Only shows the server; choosing its one entry changes nothing. A host too long for it
    // keeps both ends, its port among them, and shows whole in its tool tip.
    const QString shown = ResultTexts::serverText(server);
    // Wide enough for the usual names whole: the public service's, an address and its port.
    QComboBox *serverPopUp = addPopUp(view, rowTop(displayCard, 1), 210, "serverPopUp");
    QStyleOptionComboBox option;
    option.initFrom(serverPopUp);
    const QRect field = serverPopUp->style()->subControlRect(
        QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, serverPopUp);
    serverPopUp->addItem(
        serverPopUp->fontMetrics().elidedText(shown, Qt::ElideMiddle, field.width() - 4));
    serverPopUp->setItemData(0, shown, Qt::ToolTipRole);
    serverPopUp->setToolTip(shown);

    addCard(view, cardFrame(applicationCard, 3));
    if (autoUpdates) {
        checkbox(QStringLiteral("Installer les mises à jour automatiquement"),
                 rowTop(applicationCard, 0), "autoUpdatesCheckbox", *autoUpdates,
                 &SettingsPage::autoUpdatesToggled);
    } else {
        placeRow(makeLabel(QStringLiteral("Mises à jour par le gestionnaire de paquets"), 13,
                           QFont::Normal, ViewColor::secondaryLabel),
                 view, rowX, rowTop(applicationCard, 0), "updatesLabel")
            ->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }
    m_menuBarCheckbox =
        checkbox(QStringLiteral("Icône dans la zone de notification (au lieu d’une fenêtre)"),
                 rowTop(applicationCard, 1), "menuBarCheckbox", m_host.menuBarMode(),
                 &SettingsPage::menuBarModeToggled);
    m_loginCheckbox =
        checkbox(QStringLiteral("Ouvrir à la connexion"), rowTop(applicationCard, 2),
                 "loginCheckbox", LoginItem::isEnabled(), &SettingsPage::loginItemToggled);
    updateAvailability();
}

void SettingsPage::addFooter(bool updater)
{
    QList<std::pair<QString, const char *>> buttons;
    if (updater)
        buttons.append({QStringLiteral("Rechercher des mises à jour…"), "updateButton"});
    buttons.append({QStringLiteral("Signaler un problème…"), "reportButton"});
    const QList<QPushButton *> row =
        placeButtonRow(m_view, cardFrame(applicationCard, 3).bottom() + 1 + cardGap, buttons);
    if (updater) {
        QPushButton *update = row.constFirst();
        connect(update, &QPushButton::clicked, this,
                [this, update] { emit updateCheckPressed(update); });
    }
    QPushButton *report = row.constLast();
    connect(report, &QPushButton::clicked, this, [this, report] { emit reportPressed(report); });
    newSeparatorLine(m_view)->setGeometry(24, 440, 382, 1);

    place(makeLabel(QStringLiteral("Tachora v") + QLatin1String(BuildConfig::version), 12,
                    QFont::DemiBold, ViewColor::label),
          m_view, 24, 498, "versionLabel")
        ->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(makeLabel(QStringLiteral("Conçu et développé par Korvel, un petit atelier "
                                   "indépendant.\nUne idée, un souci ? Écris-nous."),
                    11, QFont::Normal, ViewColor::secondaryLabel),
          m_view, 24, 516, "makerLabel")
        ->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPushButton *link = newLinkButton(QUrl(QString::fromLatin1(BuildConfig::siteUrl)).host());
    link->setFont(systemFont(12, QFont::DemiBold));
    link->setCursor(Qt::PointingHandCursor);
    link->setAccessibleName(QStringLiteral("Site de Korvel"));
    place(link, m_view, 24, 547, "makerLink");
    connect(link, &QPushButton::clicked, this, [this, link] { emit siteLinkPressed(link); });
}

void SettingsPage::refresh()
{
    updateAvailability();
    if (m_loginCheckbox) {
        const QSignalBlocker blocker(m_loginCheckbox);
        m_loginCheckbox->setChecked(LoginItem::isEnabled());
    }
}

void SettingsPage::updateAvailability()
{
    // Asked once: under a D-Bus tray each question is a blocking round trip on the bus.
    const bool tray = m_host.trayAvailable();
    // The live text lives in the tray item: in a window, a line says where it will show;
    // without a tray, the same line says why the tray's rows can do nothing, where it is
    // seen rather than only in a tool tip.
    if (m_liveHint) {
        m_liveHint->setText(tray ? liveHintText : noTrayTip);
        m_liveHint->adjustSize();
        m_liveHint->setVisible(!(tray && m_host.menuBarMode()));
    }
    if (m_menuBarCheckbox) {
        m_menuBarCheckbox->setEnabled(tray);
        m_menuBarCheckbox->setToolTip(tray ? QString() : noTrayTip);
    }
}

void SettingsPage::showMenuBarMode(bool on)
{
    if (m_menuBarCheckbox)
        m_menuBarCheckbox->setChecked(on);
}
