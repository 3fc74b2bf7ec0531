#include "diagnostics/CrashReporter.h"

#include "diagnostics/FatalHandlers.h"
#include "diagnostics/SystemCrashReports.h"
#include "platform/HttpSession.h"
#include "platform/HttpTask.h"
#include "platform/PreferencesStore.h"
#include "platform/SystemInfo.h"
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

#include <cstdlib>
#include <execinfo.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr QStringView separator = u"\n---\n";
// A record of ours is a few KiB; a pending file larger than this was not written by us.
constexpr qint64 pendingReadLimit = 256 * 1024;
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

void startUpload(QByteArray body)
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
    session->task(std::move(request))->start();
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
    QFile file(pendingFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = file.read(pendingReadLimit);
    if (file.error() != QFileDevice::NoError)
        return;
    file.close();
    // Removed before the upload: a record is offered to the service at most once.
    file.remove();

    // Bytes that are not UTF-8 (a path, an exception's text) become U+FFFD rather than
    // keep the record from ever leaving.
    const QString text = QString::fromUtf8(bytes);
    const qsizetype cut = text.indexOf(separator);
    if (cut < 0) {
        send(QStringLiteral("crash"), text, QString());
        return;
    }
    const QString rest = text.mid(cut + separator.size());
    send(QStringLiteral("crash"), text.left(cut), rest.left(rest.indexOf(separator)));
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

void CrashReporter::send(const QString &kind, const QString &message, const QString &stack)
{
    // Without an application object there is no event loop to upload on.
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    // The store and the session belong to the main thread: another thread's caller hands
    // its report over.
    if (QThread::currentThread() != app->thread()) {
        QMetaObject::invokeMethod(app, [kind, message, stack] { send(kind, message, stack); });
        return;
    }
    const QJsonObject record{
        {QStringLiteral("d"),
         PreferencesStore::shared().string(PreferenceKeys::deviceId).value_or(QStringLiteral("?"))},
        {QStringLiteral("kind"), kind},
        {QStringLiteral("message"), message},
        {QStringLiteral("stack"), stack},
        {QStringLiteral("v"), SystemInfo::versionText()},
        {QStringLiteral("os"), SystemInfo::osText()},
    };
    startUpload(QJsonDocument(record).toJson(QJsonDocument::Compact));
}
