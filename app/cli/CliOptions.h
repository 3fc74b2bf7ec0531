// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/SpeedTestConfig.h"

#include <QString>
#include <QStringList>

// What the command line asked for.
struct CliOptions
{
    // header: only the names of the CSV columns; history: the stored results.
    enum class Action { run, help, version, fail, header, history };

    Action action = Action::run;
    SpeedTestConfig config;
    // No option changed the engine: the application's own engine serves.
    bool defaultEngine = true;
    bool json = false;
    bool csv = false;
    // The names of the CSV columns come first.
    bool csvHeader = false;
    // The help text for help, the error for fail: typeset, with what the user typed as
    // it was typed.
    QString message;

    // arguments: the whole command line, the program's name first.
    static CliOptions parse(const QStringList &arguments);
};
