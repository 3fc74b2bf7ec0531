// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What the command line of the desktop application asked for.
struct AppOptions
{
    // badOrigin is told apart from other failures because it can be reported before the
    // display is opened, while an unknown option may still be one of Qt's own (-style ...).
    enum class Action { run, help, version, badOrigin, fail };

    Action action = Action::run;
    // The speed-test server, when not the production one.
    std::optional<QString> server;
    // The maker's service; empty for the build's own.
    QString serviceOrigin;
    // The help text for help, the error for badOrigin and fail.
    QString message;

    // arguments: the whole command line, the program's name first.
    static AppOptions parse(const QStringList &arguments);
};
