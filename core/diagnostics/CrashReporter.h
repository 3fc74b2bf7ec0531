// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <functional>

// Catches the process's fatal ends (a fatal signal, an uncaught exception) into one record
// on disk and uploads it at the next launch, with the system's own crash reports on this
// program that appeared since. Nothing waits for an upload; the record of a crash stays
// on disk until the service has taken it (or refused what it holds), so that a launch
// without network leaves it for the next. Every failure here is silent.
class CrashReporter
{
public:
    CrashReporter() = delete;

    // Uploads what the previous run left, then the system's new crash reports, then
    // installs the handlers. Called once, first at launch, on the main thread once the
    // application object exists: the uploads run on its event loop.
    static void install();

    // Uploads a non-fatal error at once, with the first 15 frames of the caller's stack.
    // Any thread may call it.
    static void reportError(const QString &message);

    // For tests and for a staging service; set before install(). An empty origin means
    // the build's own service.
    static void setServiceOrigin(const QString &origin);
    // The folder of the pending file; empty means the user's data folder.
    static void setDataFolder(const QString &folder);
    // Where the system keeps its crash reports, /var/crash unless set; empty means none.
    static void setSystemReportFolder(const QString &folder);

    // Where a crash leaves its record for the next launch. Its folder is created when
    // missing.
    static QString pendingFilePath();

    // Uploads started and not finished yet. The application never waits for them; tests do.
    static int uploadsRunning();

private:
    static void sendPendingCrash();
    static void sendSystemCrashReports();
    // onSettled runs, on the main thread, once the service has taken the record or refused
    // what it holds.
    static void send(const QString &kind, const QString &message, const QString &stack,
                     const std::function<void()> &onSettled = {});
};
