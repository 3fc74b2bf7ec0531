#include "live/StatusItemController.h"

#include "live/StatusItemIcon.h"

#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

StatusItemController::StatusItemController(QObject *parent)
    : QObject(parent)
{}

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
    if (!m_statusItem)
        m_statusItem = std::make_unique<QSystemTrayIcon>();
    if (menu != m_menu) {
        releaseMenu();
        m_menu = menu;
    }
    m_statusItem->setContextMenu(menu);
    apply();
    m_statusItem->show();
}

void StatusItemController::disable()
{
    if (!m_statusItem)
        return;
    m_statusItem->hide();
    m_statusItem.reset();
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

QIcon StatusItemController::icon() const
{
    return StatusItemIcon::icon(m_liveText, QGuiApplication::palette());
}

QString StatusItemController::toolTip() const
{
    // The glyph's tooltip names the application, as an accessible name would.
    if (m_liveText && !m_liveText->isEmpty())
        return *m_liveText;
    return QStringLiteral("Tachora");
}

void StatusItemController::apply()
{
    if (!m_statusItem)
        return;
    m_statusItem->setIcon(icon());
    m_statusItem->setToolTip(toolTip());
}

void StatusItemController::releaseMenu()
{
    if (m_menu)
        m_menu->deleteLater();
    m_menu = nullptr;
}
