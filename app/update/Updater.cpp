// SPDX-License-Identifier: GPL-3.0-or-later
#include "Updater.h"

#include "platform/BuildConfig.h"
#include "platform/HttpSession.h"
#include "platform/HttpTask.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QPointer>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

// Why a check or a download failed: QT_LOGGING_RULES="tachora.updates.info=true".
Q_LOGGING_CATEGORY(lcUpdates, "tachora.updates", QtWarningMsg)

namespace {

// A QTimer counts in int milliseconds.
constexpr std::chrono::milliseconds longestWait{std::numeric_limits<int>::max()};

// It outlives every updater: a transfer still running when its updater goes ends on its own,
// and so does the check that awaits it.
HttpSession *sharedSession()
{
    static QPointer<HttpSession> session;
    if (!session)
        session = new HttpSession({}, QCoreApplication::instance());
    return session;
}

} // namespace

Updater::Updater(Config config, QObject *parent)
    : QObject(parent)
    , m_config(std::move(config))
    , m_keys(m_config.publicKeys ? *m_config.publicKeys : UpdateFeed::builtInKeys())
    , m_store(m_config.store ? *m_config.store : PreferencesStore::shared())
{
    if (m_config.feedUrl.isEmpty())
        m_config.feedUrl = BuildConfig::updateFeedUrl;
    if (m_config.installedVersion.isEmpty())
        m_config.installedVersion = QString::fromLatin1(BuildConfig::version);
    if (m_config.cacheFolder.isEmpty())
        m_config.cacheFolder =
            QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
            + QStringLiteral("/Tachora/updates");
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Updater::checkForUpdatesInBackground);
    scheduleNext();
}

Updater::~Updater() = default;

bool Updater::automaticallyChecksForUpdates() const
{
    return !m_store.contains(PreferenceKeys::updateAutoCheck)
           || m_store.boolValue(PreferenceKeys::updateAutoCheck);
}

void Updater::setAutomaticallyChecksForUpdates(bool on)
{
    m_store.setBool(PreferenceKeys::updateAutoCheck, on);
    scheduleNext();
}

bool Updater::automaticallyDownloadsUpdates() const
{
    return m_store.boolValue(PreferenceKeys::updateAutoDownload);
}

void Updater::setAutomaticallyDownloadsUpdates(bool on)
{
    m_store.setBool(PreferenceKeys::updateAutoDownload, on);
}

void Updater::setUpdateCheckInterval(std::chrono::seconds interval)
{
    m_interval = std::max(interval, std::chrono::seconds(1));
    scheduleNext();
}

QDateTime Updater::now() const
{
    return m_config.clock ? m_config.clock() : QDateTime::currentDateTimeUtc();
}

void Updater::scheduleNext()
{
    if (!automaticallyChecksForUpdates()) {
        m_timer.stop();
        return;
    }
    std::chrono::milliseconds wait{0};
    if (const auto last = m_store.date(PreferenceKeys::updateLastCheck))
        wait = std::chrono::milliseconds(now().msecsTo(last->addSecs(m_interval.count())));
    // A last check in the future (a clock set back) waits one interval, not longer.
    m_timer.start(std::clamp<std::chrono::milliseconds>(
        wait, std::chrono::milliseconds(0),
        std::min<std::chrono::milliseconds>(m_interval, longestWait)));
}

void Updater::checkForUpdates()
{
    check(true);
}

void Updater::checkForUpdatesInBackground()
{
    if (!automaticallyChecksForUpdates())
        return;
    const auto last = m_store.date(PreferenceKeys::updateLastCheck);
    if (last && now() < last->addSecs(m_interval.count()) && now() >= *last) {
        scheduleNext();
        return;
    }
    check(false);
}

QCoro::Task<> Updater::check(bool manual)
{
    if (m_checking) {
        m_manual = m_manual || manual;
        co_return;
    }
    m_checking = true;
    m_manual = manual;
    const QPointer self(this);
    const std::optional<QByteArray> body =
        co_await fetch(m_config.feedUrl, UpdateFeed::maxFeedBytes);
    if (!self)
        co_return;
    const UpdateFeed::Reading reading =
        body ? UpdateFeed::read(*body, m_keys, now())
             : UpdateFeed::Reading{std::nullopt, QStringLiteral("no answer")};
    if (!reading.update) {
        qCInfo(lcUpdates) << "feed refused:" << reading.error;
        if (m_manual && onCheckFinished)
            onCheckFinished(Outcome::failed, std::nullopt);
        finishCheck();
        co_return;
    }
    m_store.setDate(PreferenceKeys::updateLastCheck, now());
    const Update &update = *reading.update;
    const bool newer = UpdateFeed::isNewer(update.version, m_config.installedVersion);
    if (m_manual) {
        if (onCheckFinished)
            onCheckFinished(newer ? Outcome::available : Outcome::upToDate,
                            newer ? reading.update : std::nullopt);
    } else if (newer && m_store.string(PreferenceKeys::updateNotifiedVersion) != update.version) {
        if (automaticallyDownloadsUpdates() && !m_download) {
            // The check runs on until the package is there; a package that fails its checks
            // is not offered, and the next scheduled check tries again.
            const std::optional<QString> package = co_await download(update);
            if (!self)
                co_return;
            if (package)
                tell(update, package);
            // The user asked too while the package was on its way.
            if (m_manual && onCheckFinished)
                onCheckFinished(Outcome::available, update);
        } else {
            tell(update, std::nullopt);
        }
    }
    finishCheck();
}

void Updater::tell(const Update &update, const std::optional<QString> &package)
{
    m_store.setString(PreferenceKeys::updateNotifiedVersion, update.version);
    if (onUpdateFound)
        onUpdateFound(update, package);
}

void Updater::finishCheck()
{
    m_checking = false;
    m_manual = false;
    // Also after a failure: the next try waits a whole interval.
    if (automaticallyChecksForUpdates())
        m_timer.start(std::min<std::chrono::milliseconds>(m_interval, longestWait));
}

QCoro::Task<> Updater::downloadUpdate(Update update)
{
    m_downloadAsked = true;
    if (!m_download)
        co_await download(update);
}

void Updater::cancelDownload()
{
    m_downloadAsked = false;
    if (m_download)
        m_download->cancel();
}

QCoro::Task<std::optional<QString>> Updater::download(Update update)
{
    const QPointer self(this);
    const std::optional<QString> package = co_await fetchPackage(update);
    if (!self)
        co_return std::nullopt;
    if (std::exchange(m_downloadAsked, false) && onDownloadFinished)
        onDownloadFinished(update, package);
    co_return package;
}

QCoro::Task<std::optional<QString>> Updater::fetchPackage(Update update)
{
    const QString path = packagePath(update);
    // The cache is not ours alone: a package found there is checked again.
    QFile cached(path);
    if (cached.open(QIODevice::ReadOnly) && UpdateFeed::isPackage(cached.readAll(), update, m_keys))
        co_return path;
    HttpRequest request;
    request.url = update.url;
    request.timeout = m_config.timeout;
    request.deadline = m_config.packageDeadline;
    m_download = sharedSession()->task(std::move(request));
    const std::shared_ptr<HttpTask> transfer = m_download;
    const QPointer self(this);
    // Named, not a temporary of the co_await expression: GCC 12 may destroy those twice.
    std::function<void(qsizetype)> progress = [self, total = update.size](qsizetype received) {
        if (self && self->onDownloadProgress)
            self->onDownloadProgress(received, total);
    };
    const HttpResponse response =
        co_await sharedSession()->fetch(transfer, update.size, std::move(progress));
    if (!self)
        co_return std::nullopt;
    m_download.reset();
    if (!response.outcome.ok || response.outcome.status != 200
        || !UpdateFeed::isPackage(response.body, update, m_keys)) {
        qCInfo(lcUpdates) << "package refused:" << update.url << response.outcome.status
                          << response.outcome.error;
        co_return std::nullopt;
    }
    QDir folder(m_config.cacheFolder);
    // Packages of older releases are of no further use.
    for (const QString &old : folder.entryList({QStringLiteral("tachora_*.deb")}))
        folder.remove(old);
    QSaveFile file(path);
    const bool saved = folder.mkpath(QStringLiteral(".")) && file.open(QIODevice::WriteOnly)
                       && file.write(response.body) == response.body.size() && file.commit();
    co_return saved ? std::optional(path) : std::nullopt;
}

QString Updater::packagePath(const Update &update) const
{
    // The version was checked to be numbers and dots, so it is safe in a file name.
    return m_config.cacheFolder + QStringLiteral("/tachora_%1.deb").arg(update.version);
}

QCoro::Task<std::optional<QByteArray>> Updater::fetch(QByteArray url, qint64 limit)
{
    HttpRequest request;
    request.url = std::move(url);
    request.timeout = m_config.timeout;
    request.deadline = m_config.feedDeadline;
    HttpResponse response = co_await sharedSession()->fetch(std::move(request), limit);
    if (!response.outcome.ok || response.outcome.status != 200) {
        qCInfo(lcUpdates) << "fetch failed:" << response.outcome.status << response.outcome.error;
        co_return std::nullopt;
    }
    co_return std::move(response.body);
}
