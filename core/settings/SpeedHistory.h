// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/SpeedTestEngine.h"

#include <QList>

// The last results, newest first, stored whole under one preferences key.
// No copy is kept in memory: every call reads the store.
class SpeedHistory
{
public:
    SpeedHistory() = delete;

    static constexpr int capacity = 5;

    // Empty when nothing is stored or the stored list cannot be read as a whole.
    static QList<SpeedTestEngine::Result> all();
    // Puts the result first and keeps the newest five; a result that cannot be
    // encoded leaves the stored list as it was.
    static void add(const SpeedTestEngine::Result &result);
};
