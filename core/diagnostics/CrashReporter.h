#pragma once

#include <QString>

// Catches the process's fatal ends (a fatal signal, an uncaught exception) into one record
// on disk and uploads it at the next launch, with the system's own crash reports on this
// program that appeared since. Every upload is fire-and-forget: nothing waits for it or
// looks at its answer, and every failure here is silent.
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
    static void send(const QString &kind, const QString &message, const QString &stack);
};
