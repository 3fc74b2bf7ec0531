// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <optional>

// Starting at login the freedesktop way: our entry
// $XDG_CONFIG_HOME/autostart/<application id>.desktop. The desktop's own settings may turn
// the entry off by writing Hidden=true or X-GNOME-Autostart-enabled=false into it, so the
// status is read from the file each time.
namespace LoginItem {

QString filePath();

// Our entry exists and no desktop has turned it off.
bool isEnabled();

// Writes the entry for the program at executable; on failure, the reason.
std::optional<QString> registerItem(const QString &executable);
// Removes the entry; on failure, the reason. No entry is not a failure.
std::optional<QString> unregisterItem();

} // namespace LoginItem
