// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLatin1String>

// Every key of the preferences store, in one place: no key is spelled anywhere else.
// An absent key reads as false or empty; nothing registers defaults.
namespace PreferenceKeys {

// bool: the application lives in the tray instead of the task bar.
inline constexpr QLatin1String menuBarMode("TCMenuBarMode");
// bool: the first-launch choice of display mode has been made.
inline constexpr QLatin1String onboarded("TCOnboarded");
// bool: the tray item shows the live download rate as text.
inline constexpr QLatin1String liveMenuBar("TCLiveMenuBar");
// bool: rates are shown in megabytes per second.
inline constexpr QLatin1String unitMBytes("TCUnitMBytes");
// binary data: the JSON array of the last results, newest first.
inline constexpr QLatin1String history("TCHistory");
// date: when the system crash reports were last scanned.
inline constexpr QLatin1String lastCrashScan("TCLastCrashScan");
// text: this installation's identifier, sent with every upload.
inline constexpr QLatin1String deviceId("TCDeviceId");
// array of integers: the server messages already shown.
inline constexpr QLatin1String shownMessages("TCShownMessages");
// text: a problem report that could not be sent, offered again in the next form.
inline constexpr QLatin1String reportDraftText("TCReportDraftText");
// text: the e-mail address typed with that report.
inline constexpr QLatin1String reportDraftEmail("TCReportDraftEmail");
// bool: scheduled update checks. The one key whose absence means true: checks are on until
// the user turns them off.
inline constexpr QLatin1String updateAutoCheck("TCUpdateAutoCheck");
// bool: a scheduled check that finds a release also fetches its package.
inline constexpr QLatin1String updateAutoDownload("TCUpdateAutoDownload");
// date: the last update check that read a valid feed.
inline constexpr QLatin1String updateLastCheck("TCUpdateLastCheck");
// text: the newest version a scheduled check has told the user about.
inline constexpr QLatin1String updateNotifiedVersion("TCUpdateNotifiedVersion");

} // namespace PreferenceKeys
