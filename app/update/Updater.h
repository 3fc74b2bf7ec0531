// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "UpdateFeed.h"

#include <QObject>
#include <QTimer>

#include <memory>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

class HttpTask;
class PreferencesStore;

// What the updater works with; empty fields stand for the production ones.
struct UpdaterConfig
{
    QByteArray feedUrl;
    // Raw Ed25519 public keys; absent means the build's own.
    std::optional<QList<QByteArray>> publicKeys;
    QString installedVersion;
    // Where packages are fetched to; $XDG_CACHE_HOME/Tachora/updates by default.
    QString cacheFolder;
    std::function<QDateTime()> clock;
    PreferencesStore *store = nullptr;
    // Inactivity limit of every transfer.
    std::chrono::milliseconds timeout{15000};
    // How long reading the feed, and fetching a package, may take in all.
    std::chrono::milliseconds feedDeadline{30000};
    std::chrono::milliseconds packageDeadline{30 * 60 * 1000};
};

// Looks for a newer release in the signed feed, on a schedule and when asked, and fetches
// its package to the cache. It shows nothing: its owner answers the callbacks. It runs from
// its construction: a scheduled check is made as soon as one is due.
class Updater : public QObject
{
    Q_OBJECT

public:
    using Config = UpdaterConfig;
    using Update = UpdateFeed::Update;
    enum class Outcome { upToDate, available, failed };

    explicit Updater(Config config = {}, QObject *parent = nullptr);
    ~Updater() override;

    // On unless turned off: scheduled checks.
    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool on);
    // Off unless turned on: a scheduled check that finds a release also fetches its package.
    bool automaticallyDownloadsUpdates() const;
    void setAutomaticallyDownloadsUpdates(bool on);
    // The time between scheduled checks, one day unless set.
    std::chrono::seconds updateCheckInterval() const { return m_interval; }
    void setUpdateCheckInterval(std::chrono::seconds interval);

    // A check the user asked for: it always ends with onCheckFinished. While another check
    // runs, that one answers instead.
    void checkForUpdates();
    // A scheduled check: made only when automatic checks are on and the last successful check
    // is an interval old. Its result reaches onUpdateFound, once per version.
    void checkForUpdatesInBackground();
    bool isChecking() const { return m_checking; }

    // Fetches the package of update to the cache, or takes the one already there, and checks
    // it; ends with onDownloadFinished, unless cancelDownload() stopped it. One package is
    // fetched at a time: asked again meanwhile, the running download answers.
    QCoro::Task<> downloadUpdate(Update update);
    void cancelDownload();
    bool isDownloading() const { return bool(m_download); }

    std::function<void(Outcome outcome, const std::optional<Update> &update)> onCheckFinished;
    // A scheduled check found a release the user has not been told about; the package is
    // there when automatic downloads are on.
    std::function<void(const Update &update, const std::optional<QString> &package)> onUpdateFound;
    std::function<void(const Update &update, const std::optional<QString> &package)>
        onDownloadFinished;
    std::function<void(qint64 received, qint64 total)> onDownloadProgress;

private:
    QDateTime now() const;
    void scheduleNext();
    QCoro::Task<> check(bool manual);
    void tell(const Update &update, const std::optional<QString> &package);
    void finishCheck();
    // The body of a 200 answer of at most limit bytes; nothing otherwise.
    QCoro::Task<std::optional<QByteArray>> fetch(QByteArray url, qint64 limit);
    // The package, checked and in the cache; nothing when it failed or was cancelled.
    QCoro::Task<std::optional<QString>> download(Update update);
    QCoro::Task<std::optional<QString>> fetchPackage(Update update);
    QString packagePath(const Update &update) const;

    Config m_config;
    QList<QByteArray> m_keys;
    PreferencesStore &m_store;
    QTimer m_timer;
    std::chrono::seconds m_interval{std::chrono::hours(24)};
    bool m_checking = false;
    bool m_manual = false;
    std::shared_ptr<HttpTask> m_download;
    // Someone waits for onDownloadFinished.
    bool m_downloadAsked = false;
};
