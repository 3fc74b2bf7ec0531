// SPDX-License-Identifier: GPL-3.0-or-later
// The settings view and what its controls do. Every control acts at once; there is nothing
// to apply or cancel.

#include "AppDelegate.h"
#include "AppIcon.h"
#include "LoginItem.h"
#include "MainWindow.h"

#include "platform/BuildConfig.h"
#include "settings/FrenchTypography.h"
#include "settings/ResultTexts.h"
#include "settings/SpeedSettings.h"
#include "views/CardView.h"
#include "views/FlippedView.h"
#include "views/LabelFactory.h"
#include "views/Palette.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionFocusRect>
#include <QToolButton>
#include <QUrl>

namespace {

constexpr int rowX = 40;
// The right edge of the cards' content: a check box's text ends before it.
constexpr int rowRight = 398;
constexpr int cardLeft = 24;
constexpr int cardWidth = 382;
constexpr int buttonGap = 10;
// The controls' text size, like the rows' labels; a text too long for its place is set
// smaller, down to the smallest.
constexpr int controlTextSize = 13;
constexpr int smallestTextSize = 11;
// The space a push button leaves between its text and its border, on each side.
constexpr int buttonPadding = 14;
constexpr int buttonHeight = 30;

const QString noTrayTip = FrenchTypography::typeset(
    QStringLiteral("Aucune zone de notification ici : Tachora reste en fenêtre."));
const QString liveHintText = FrenchTypography::typeset(
    QStringLiteral("S’affiche quand Tachora vit dans la zone de notification."));

// The back button: a chevron in the tint of the window's other corner buttons, drawn again
// when the appearance changes.
class BackButton : public QToolButton
{
public:
    using QToolButton::QToolButton;

    void applyColors() { setIcon(AppIcon::back(secondaryLabelColor(palette()))); }

protected:
    void changeEvent(QEvent *event) override
    {
        QToolButton::changeEvent(event);
        if (event->type() == QEvent::PaletteChange)
            applyColors();
    }
};

// A check box with an outline that stays visible on the settings cards in dark appearances
// too, where the style's own nearly matches the card.
class OutlinedCheckBox : public QCheckBox
{
public:
    using QCheckBox::QCheckBox;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QCheckBox::paintEvent(event);
        QStyleOptionButton option;
        initStyleOption(&option);
        const QRect indicator =
            style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(secondaryLabelColor(palette()), 1));
        painter.drawRoundedRect(QRectF(indicator).adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
    }
};

// Scrolling the view over a pop-up button that has not been given the focus must not change
// a setting on the way.
class WheelGuard : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const auto *widget = qobject_cast<QWidget *>(watched);
        if (event->type() == QEvent::Wheel && widget && !widget->hasFocus()) {
            event->ignore();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

// The maker's link: a borderless button whose text takes the brand mauve of the appearance
// in effect each time it is drawn.
class LinkButton : public QPushButton
{
public:
    using QPushButton::QPushButton;

    QSize sizeHint() const override
    {
        return fontMetrics().size(Qt::TextSingleLine, text()) + QSize(0, 4);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setPen(korvelMauve(palette()));
        painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, text());
        if (hasFocus()) {
            QStyleOptionFocusRect option;
            option.initFrom(this);
            style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
        }
    }
};

// A one-pixel line in a faint label colour, resolved when drawn.
class SeparatorLine : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter(this).fillRect(rect(), labelTint(palette(), 0.15));
    }
};

// widget in view at its fitted size, its top left at (x, y).
template <class Widget>
Widget *place(Widget *widget, QWidget *view, int x, int y, const char *name = nullptr)
{
    widget->setParent(view);
    if (name)
        widget->setObjectName(QLatin1String(name));
    widget->adjustSize();
    widget->move(x, y);
    return widget;
}

// Sets the widget's text at the controls' size, or smaller until its natural width and the
// padding are at most width.
void fitText(QWidget *widget, int width, int padding = 0)
{
    for (int size = controlTextSize; size >= smallestTextSize; --size) {
        widget->setFont(systemFont(size, QFont::Normal));
        if (widget->sizeHint().width() + padding <= width)
            return;
    }
}

// Push buttons side by side from the cards' left edge at y, each with room around its text,
// their texts at one size, small enough for the row to fit the cards' width.
QList<QPushButton *> placeButtonRow(QWidget *view, int y,
                                    const QList<std::pair<QString, const char *>> &buttons)
{
    QList<QPushButton *> row;
    for (const auto &[text, name] : buttons) {
        auto *button = new QPushButton(text, view);
        button->setObjectName(QLatin1String(name));
        row.append(button);
    }
    const auto widthOf = [](const QPushButton *button) {
        return std::max(button->sizeHint().width(),
                        button->fontMetrics().horizontalAdvance(button->text())
                            + 2 * buttonPadding);
    };
    for (int size = controlTextSize; size >= smallestTextSize; --size) {
        int width = -buttonGap;
        for (QPushButton *button : row) {
            button->setFont(systemFont(size, QFont::Normal));
            width += widthOf(button) + buttonGap;
        }
        if (width <= cardWidth)
            break;
    }
    int x = cardLeft;
    for (QPushButton *button : row) {
        button->setGeometry(x, y, widthOf(button),
                            std::max(button->sizeHint().height(), buttonHeight));
        x += button->width() + buttonGap;
    }
    return row;
}

// A label of the view, left-aligned, its middle on centreY.
QLabel *placeLabel(QLabel *label, QWidget *view, int x, int centreY)
{
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(label, view, x, centreY);
    label->move(x, centreY - label->height() / 2);
    return label;
}

void addCard(QWidget *view, const QRect &frame)
{
    auto *card = new CardView(view);
    card->setGeometry(frame);
}

QComboBox *addPopUp(QWidget *view, const QRect &frame, const char *name)
{
    auto *popUp = new QComboBox(view);
    popUp->setObjectName(QLatin1String(name));
    popUp->setFont(systemFont(controlTextSize, QFont::Normal));
    popUp->setGeometry(frame);
    popUp->setFocusPolicy(Qt::StrongFocus);
    popUp->installEventFilter(new WheelGuard(popUp));
    return popUp;
}

} // namespace

QWidget *AppDelegate::buildSettingsView()
{
    auto *view = new FlippedView(QRect(QPoint(0, 0), MainWindow::contentSize));
    view->setObjectName(QStringLiteral("settingsView"));
    auto *back = new BackButton(view);
    back->setObjectName(QStringLiteral("backButton"));
    back->setAccessibleName(QStringLiteral("Retour"));
    back->setToolTip(QStringLiteral("Retour (Échap)"));
    back->setAutoRaise(true);
    back->setIconSize(QSize(16, 16));
    back->setCursor(Qt::PointingHandCursor);
    back->applyColors();
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
        auto *box = new OutlinedCheckBox(title);
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
    (new SeparatorLine(view))->setGeometry(24, 440, 382, 1);

    place(makeLabel(QStringLiteral("Tachora v") + QLatin1String(BuildConfig::version), 12,
                    QFont::DemiBold, ViewColor::label),
          view, 24, 498, "versionLabel")
        ->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(makeLabel(QStringLiteral("Conçu et développé par Korvel, un petit atelier "
                                   "indépendant.\nUne idée, un souci ? Écris-nous."),
                    11, QFont::Normal, ViewColor::secondaryLabel),
          view, 24, 516, "makerLabel")
        ->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto *link = new LinkButton(QUrl(QString::fromLatin1(BuildConfig::siteUrl)).host());
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
