// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/SpeedSettings.h"

#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"

#include <charconv>
#include <cmath>

bool SpeedSettings::liveMenuBar()
{
    return PreferencesStore::shared().boolValue(PreferenceKeys::liveMenuBar);
}

void SpeedSettings::setLiveMenuBar(bool on)
{
    PreferencesStore::shared().setBool(PreferenceKeys::liveMenuBar, on);
}

bool SpeedSettings::unitMBytes()
{
    return PreferencesStore::shared().boolValue(PreferenceKeys::unitMBytes);
}

void SpeedSettings::setUnitMBytes(bool on)
{
    PreferencesStore::shared().setBool(PreferenceKeys::unitMBytes, on);
}

QString SpeedSettings::unitLabel()
{
    return unitMBytes() ? QStringLiteral("Mo/s") : QStringLiteral("Mbps");
}

QString SpeedSettings::format(double mbps)
{
    const double value = unitMBytes() ? mbps * 0.125 : mbps;
    // The pattern is chosen on the unrounded value, so 99.97 gives "100,0".
    return fixed(value, value >= 100 ? 0 : 1);
}

QString SpeedSettings::fixed(double value, int decimals)
{
    // std::to_chars ignores the C library's locale, which Qt sets from the environment.
    char buffer[400];
    const auto [end, error] = std::to_chars(std::begin(buffer), std::end(buffer), value,
                                            std::chars_format::fixed, decimals);
    if (error != std::errc())
        return QString();
    QString text = QString::fromLatin1(buffer, end - buffer);
    text.replace(u'.', u',');
    return text;
}
