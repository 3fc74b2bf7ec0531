// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The two display preferences and the one rule that turns a rate into text.
// Nothing is cached: every call reads the preferences store.
class SpeedSettings
{
public:
    SpeedSettings() = delete;

    static bool liveMenuBar();
    static void setLiveMenuBar(bool on);
    static bool unitMBytes();
    static void setUnitMBytes(bool on);

    // "Mo/s" when rates are shown in megabytes per second, else "Mbps".
    static QString unitLabel();

    // The displayed number for a rate in Mbps, in the chosen unit, without the unit:
    // one decimal below 100, none from 100 on, always with a decimal comma.
    static QString format(double mbps);

    // printf's "%.<decimals>f" in the C locale, whatever the process locale is,
    // with "." then replaced by ",".
    static QString fixed(double value, int decimals);
};
