// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

class QMenu;
class QSystemTrayIcon;

// The application's tray item while it lives in the tray: a speedometer glyph, or a short
// live text, opening the status menu on a primary click as on a secondary one. The glyph
// follows the application palette's text colour. The application holds one for its whole run.
class StatusItemController : public QObject
{
    Q_OBJECT

public:
    explicit StatusItemController(QObject *parent = nullptr);
    ~StatusItemController() override;

    // True while the item exists, whether or not a tray shows it.
    bool isEnabled() const;
    // Creates the item if needed and shows the entries of menu in it; the controller takes
    // ownership of menu. A previous menu is deleted once control returns to the event loop,
    // so that an action of that menu may rebuild it.
    void enable(QMenu *menu);
    // The menu given last, while the item exists.
    QMenu *menu() const;
    // Removes the item and its menu; the live text is kept.
    void disable();
    // None shows the glyph again; a present text, even empty, is shown instead of it. An
    // unchanged text costs nothing: the icon is not drawn and sent again.
    void setLiveText(const std::optional<QString> &text);
    std::optional<QString> liveText() const { return m_liveText; }
    // What a running test is doing ("Descente… 93,4 Mbps"), which the item's tool tip then
    // gives after the application's name; none once no test runs.
    void setActivity(const std::optional<QString> &activity);

    // Whether the user can see the item: it exists and a system tray is there to show it.
    bool isItemVisible() const;

    // The item while enabled, else null; for connecting to its signals. Its context menu
    // stays the same for its whole life and holds the entries of the last menu given.
    QSystemTrayIcon *trayIcon() const { return m_statusItem.get(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // What the icon was drawn from: the live text, or the glyph's colour.
    struct Look
    {
        std::optional<QString> liveText;
        QRgb glyphColor = 0;
        bool operator==(const Look &) const = default;
    };

    Look look() const;
    QString toolTip() const;
    void apply();
    void releaseMenu();
    void openMenu();

    // A panel that shows the item over D-Bus (StatusNotifierItem) keeps to the menu it was
    // first given and hears only of changes to it: a new menu would go unseen, its entries
    // dead. So the item keeps one menu, whose entries are those of the menu last given.
    std::unique_ptr<QMenu> m_shownMenu;
    std::unique_ptr<QSystemTrayIcon> m_statusItem;
    QPointer<QMenu> m_menu;
    std::optional<QString> m_liveText;
    std::optional<QString> m_activity;
    std::optional<Look> m_shown;
};
