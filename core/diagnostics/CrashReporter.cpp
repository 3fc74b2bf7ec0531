// SPDX-License-Identifier: GPL-3.0-or-later
#include "diagnostics/CrashReporter.h"

#include "diagnostics/FatalHandlers.h"
#include "diagnostics/PendingCrash.h"
#include "diagnostics/SystemCrashReports.h"
#include "platform/HttpSession.h"
#include "platform/HttpTask.h"
#include "platform/PreferencesStore.h"
#include "platform/ServiceLimits.h"
#include "platform/SystemInfo.h"
#include "platform/TextCut.h"
#include "settings/PreferenceKeys.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <execinfo.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int errorFrames = 15;

struct Overrides
{
    QString serviceOrigin;
    QString dataFolder;
    QString systemReportFolder = QStringLiteral("/var/crash");
};

Overrides &overrides()
{
    static Overrides values;
    return values;
}

// The uploads' session lives as long as the application object: they need its event loop.
QPointer<HttpSession> uploads;

HttpSession *uploadSession()
{
    if (!uploads && QCoreApplication::instance())
        uploads = new HttpSession({}, QCoreApplication::instance());
    return uploads;
}

// Whether the service has the record, or refused it for what it holds: either way, sending
// it again would change nothing. A failed transfer, a failure of the service (5xx) and a
// "try later" (408, 429) leave it to be sent again.
bool settled(const HttpOutcome &outcome)
{
    const long status = outcome.status;
    return outcome.ok && !outcome.cancelled
           && (HttpOutcome::isSuccessStatus(status)
               || (status >= 400 && status < 500 && status != 408 && status != 429));
}

// The service refuses a NUL character anywhere (its database cannot store one).
QString withoutNul(QString text)
{
    return text.replace(QChar(0), QChar::ReplacementCharacter);
}

// The record as the service takes it: each member cut to its length, on a character's
// boundary, and the stack further, as little as need be, until the whole body fits in
// one request.
QByteArray recordBody(const QString &deviceId, const QString &kind, const QString &message,
                      const QString &rawStack)
{
    using namespace ServiceLimits;
    // Cut once to its length here: each cut below looks at the whole text it is given.
    const QString stack = TextCut::toLength(withoutNul(rawStack), crashStackLength);
    QJsonObject record{
        {QStringLiteral("d"), TextCut::toLength(deviceId, deviceIdLength)},
        {QStringLiteral("kind"), TextCut::toLength(kind, crashKindLength)},
        {QStringLiteral("message"), TextCut::toLength(withoutNul(message), crashMessageLength)},
        {QStringLiteral("v"), TextCut::toLength(SystemInfo::versionText(), versionLength)},
        {QStringLiteral("os"), TextCut::toLength(SystemInfo::osText(), osLength)},
    };
    const auto withStack = [&record, &stack](qsizetype units) {
        record[QStringLiteral("stack")] = TextCut::toLength(stack, units);
        return QJsonDocument(record).toJson(QJsonDocument::Compact);
    };
    QByteArray body = withStack(stack.size());
    if (body.size() <= qsizetype(requestBodyBytes))
        return body;
    // The longest stack that fits; JSON escapes make a unit cost 1 to 6 bytes.
    qsizetype fits = 0;
    qsizetype tooLong = stack.size();
    while (tooLong - fits > 1) {
        const qsizetype middle = fits + (tooLong - fits) / 2;
        if (withStack(middle).size() <= qsizetype(requestBodyBytes))
            fits = middle;
        else
            tooLong = middle;
    }
    return withStack(fits);
}

void startUpload(QByteArray body, const std::function<void()> &onSettled)
{
    HttpSession *session = uploadSession();
    if (!session)
        return;
    HttpRequest request;
    request.method = QByteArrayLiteral("POST");
    request.url =
        SystemInfo::serviceUrl(overrides().serviceOrigin, QStringLiteral("/api/crash.php"));
    request.timeout = 8s;
    request.deadline = 10s;
    request.body = std::move(body);
    // The session keeps a started task until it completes.
    const std::shared_ptr<HttpTask> task = session->task(std::move(request));
    if (onSettled) {
        task->onComplete = [onSettled](const HttpOutcome &outcome) {
            if (settled(outcome))
                onSettled();
        };
    }
    task->start();
}

QString currentStack(int frameCount)
{
    std::vector<void *> frames(size_t(frameCount), nullptr);
    const int count = backtrace(frames.data(), frameCount);
    char **symbols = backtrace_symbols(frames.data(), count);
    if (!symbols)
        return QString();
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines.append(QString::fromLocal8Bit(symbols[i]));
    std::free(symbols);
    return lines.join(u'\n');
}

QDateTime distantPast()
{
    return QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
}

} // namespace

void CrashReporter::install()
{
    sendPendingCrash();
    sendSystemCrashReports();
    FatalHandlers::install(pendingFilePath());
}

void CrashReporter::reportError(const QString &message)
{
    send(QStringLiteral("error"), message, currentStack(errorFrames));
}

void CrashReporter::setServiceOrigin(const QString &origin)
{
    overrides().serviceOrigin = origin;
}

void CrashReporter::setDataFolder(const QString &folder)
{
    overrides().dataFolder = folder;
}

void CrashReporter::setSystemReportFolder(const QString &folder)
{
    overrides().systemReportFolder = folder;
}

QString CrashReporter::pendingFilePath()
{
    QString folder = overrides().dataFolder;
    if (folder.isEmpty()) {
        folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                 + QStringLiteral("/Tachora");
    }
    QDir().mkpath(folder);
    return folder + QStringLiteral("/pending-crash.txt");
}

int CrashReporter::uploadsRunning()
{
    return uploads ? uploads->runningTransfers() : 0;
}

void CrashReporter::sendPendingCrash()
{
    const std::optional<PendingCrash> pending = PendingCrash::read(pendingFilePath());
    if (pending)
        send(QStringLiteral("crash"), pending->message(), pending->stack(),
             [pending] { pending->remove(); });
}

void CrashReporter::sendSystemCrashReports()
{
    const QString folder = overrides().systemReportFolder;
    if (folder.isEmpty())
        return;
    const QDir dir(folder);
    if (!dir.exists() || !dir.isReadable())
        return;

    PreferencesStore &store = PreferencesStore::shared();
    const QDateTime last = store.date(PreferenceKeys::lastCrashScan).value_or(distantPast());
    QDateTime newest = last;
    const QString executable = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    const QFileInfoList entries =
        dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (!SystemCrashReports::isReportOf(entry.fileName(), executable))
            continue;
        QDateTime modified = entry.lastModified();
        if (!modified.isValid())
            modified = distantPast();
        // Compared with the mark from before this scan, so that every new report goes.
        if (modified <= last)
            continue;
        const std::optional<SystemCrashReports::Report> report =
            SystemCrashReports::read(entry.filePath());
        if (!report)
            continue;
        send(QStringLiteral("crash"), report->message, report->stack);
        newest = std::max(newest, modified);
    }
    store.setDate(PreferenceKeys::lastCrashScan, newest);
}

void CrashReporter::send(const QString &kind, const QString &message, const QString &stack,
                         const std::function<void()> &onSettled)
{
    // Without an application object there is no event loop to upload on.
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    // The store and the session belong to the main thread: another thread's caller hands
    // its report over.
    if (QThread::currentThread() != app->thread()) {
        QMetaObject::invokeMethod(
            app, [kind, message, stack, onSettled] { send(kind, message, stack, onSettled); });
        return;
    }
    // The service takes no blank id: a record without one says "?".
    QString deviceId =
        PreferencesStore::shared().string(PreferenceKeys::deviceId).value_or(QString());
    if (deviceId.trimmed().isEmpty())
        deviceId = QStringLiteral("?");
    startUpload(recordBody(deviceId, kind, message, stack), onSettled);
}
