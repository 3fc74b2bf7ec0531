// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/StatusItemController.h"

#include "live/StatusItemIcon.h"
#include "settings/FrenchTypography.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

StatusItemController::StatusItemController(QObject *parent)
    : QObject(parent)
{
    // A theme switch changes the application palette, and with it the glyph's colour.
    if (QCoreApplication::instance())
        QCoreApplication::instance()->installEventFilter(this);
}

StatusItemController::~StatusItemController()
{
    disable();
}

bool StatusItemController::isEnabled() const
{
    return m_statusItem != nullptr;
}

void StatusItemController::enable(QMenu *menu)
{
    if (!m_statusItem) {
        m_shownMenu = std::make_unique<QMenu>();
        m_statusItem = std::make_unique<QSystemTrayIcon>();
        m_statusItem->setContextMenu(m_shownMenu.get());
        // Linux trays hand a primary click to the application, and opening the menu is all
        // the item is for.
        connect(m_statusItem.get(), &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger)
                        openMenu();
                });
    }
    if (menu != m_menu) {
        releaseMenu();
        m_menu = menu;
    }
    // Entries owned by the menu they came from stay alive until it goes.
    m_shownMenu->clear();
    if (menu) {
        m_shownMenu->setObjectName(menu->objectName());
        m_shownMenu->addActions(menu->actions());
    }
    apply();
    m_statusItem->show();
}

void StatusItemController::disable()
{
    if (!m_statusItem)
        return;
    m_statusItem->hide();
    m_statusItem.reset();
    m_shownMenu.reset();
    m_shown.reset();
    releaseMenu();
}

void StatusItemController::setLiveText(const std::optional<QString> &text)
{
    m_liveText = text;
    apply();
}

bool StatusItemController::isItemVisible() const
{
    return m_statusItem && m_statusItem->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

bool StatusItemController::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == QCoreApplication::instance()
        && event->type() == QEvent::ApplicationPaletteChange)
        apply();
    return false;
}

StatusItemController::Look StatusItemController::look() const
{
    // The badge of a live text is drawn in fixed colours: only the glyph follows the palette.
    if (m_liveText)
        return {m_liveText, 0};
    return {std::nullopt, QGuiApplication::palette().color(QPalette::WindowText).rgba()};
}

void StatusItemController::setActivity(const std::optional<QString> &activity)
{
    m_activity = activity;
    if (m_statusItem)
        m_statusItem->setToolTip(toolTip());
}

QString StatusItemController::toolTip() const
{
    // With the window closed, the item is what tells how a test started from it goes.
    if (m_activity)
        return FrenchTypography::typeset(QStringLiteral("Tachora : ") + *m_activity);
    // The glyph's tooltip names the application, as an accessible name would.
    if (m_liveText && !m_liveText->isEmpty())
        return *m_liveText;
    return QStringLiteral("Tachora");
}

void StatusItemController::apply()
{
    if (!m_statusItem)
        return;
    // Drawing the icon at every size and sending it to the tray takes a few milliseconds, and
    // the live text often stays the same from one tick to the next.
    const Look wanted = look();
    if (m_shown == wanted)
        return;
    m_statusItem->setIcon(StatusItemIcon::icon(m_liveText, QGuiApplication::palette()));
    m_statusItem->setToolTip(toolTip());
    m_shown = wanted;
}

void StatusItemController::openMenu()
{
    if (m_menu && !m_shownMenu->isVisible())
        m_shownMenu->popup(QCursor::pos());
}

void StatusItemController::releaseMenu()
{
    if (m_menu)
        m_menu->deleteLater();
    m_menu = nullptr;
}

QMenu *StatusItemController::menu() const
{
    return m_menu;
}
