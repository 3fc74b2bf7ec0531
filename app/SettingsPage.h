// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

class QAbstractButton;
class QComboBox;
class QLabel;
class QWidget;

// The settings page: its controls, which of them can act now and the lines that say why
// not. Every control acts at once, through the signal that names it; there is nothing to
// apply or cancel. What it needs to know of the application, it asks through Host.
class SettingsPage : public QObject
{
    Q_OBJECT

public:
    // What the page needs to know of the application.
    class Host
    {
    public:
        // Whether a system tray is there to show our item.
        virtual bool trayAvailable() const = 0;
        // Whether the user chose to live in the tray.
        virtual bool menuBarMode() const = 0;

    protected:
        ~Host() = default;
    };

    // server: where the tests go, as configured; autoUpdates: whether updates install by
    // themselves, absent when the package manager sees to them.
    SettingsPage(Host &host, const QString &server, std::optional<bool> autoUpdates,
                 QObject *parent = nullptr);

    // The page, for the window to take.
    QWidget *view() const { return m_view; }

    // Brings the page up to date as it shows: what can act now, and the login item's state,
    // which the desktop's own settings may have changed since.
    void refresh();
    // Enables the settings that can act now: tray mode only with a tray; a line says why
    // not, or where the live text will show.
    void updateAvailability();
    // The tray-mode check box follows a choice made elsewhere, as in the welcome.
    void showMenuBarMode(bool on);

signals:
    void backPressed(QObject *sender);
    void liveMenuBarToggled(QAbstractButton *sender);
    void menuBarModeToggled(QAbstractButton *sender);
    void unitChosen(QComboBox *sender);
    void autoUpdatesToggled(QAbstractButton *sender);
    void loginItemToggled(QAbstractButton *sender);
    void updateCheckPressed(QObject *sender);
    void reportPressed(QObject *sender);
    void siteLinkPressed(QObject *sender);

private:
    void addHeader();
    void addControls(const QString &server, std::optional<bool> autoUpdates);
    void addFooter(bool updater);

    Host &m_host;
    // The window takes it, and deletes it before the application lets the page go.
    QWidget *m_view;
    QPointer<QAbstractButton> m_menuBarCheckbox;
    QPointer<QLabel> m_liveHint;
    QPointer<QAbstractButton> m_loginCheckbox;
};
