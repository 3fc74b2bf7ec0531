// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/SpeedTestEngine.h"

#include <QString>

// What the engine told of the test that just ran, beyond its result: the server it measured
// against and what each throughput phase moved. A stored result has none of it.
struct CliRun
{
    QString server;
    SpeedTestEngine::PhaseReport down;
    SpeedTestEngine::PhaseReport up;

    static CliRun of(const SpeedTestEngine &engine)
    {
        return {engine.config().host, engine.report(SpeedTestEngine::Phase::download),
                engine.report(SpeedTestEngine::Phase::upload)};
    }
};
