// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <chrono>
#include <optional>
#include <sys/types.h>

struct stat;

// The per-user key-value store of preferences: typed values by key, kept in one
// JSON file. Every read answers from memory unless the file changed on disk; every
// write goes to disk at once. The file format is described in PreferencesStore.cpp.
class PreferencesStore
{
public:
    explicit PreferencesStore(QString filePath);

    // The store of the current user, under $XDG_CONFIG_HOME/Tachora/.
    static PreferencesStore &shared();
    static QString defaultFilePath();

    QString filePath() const { return m_filePath; }

    // How long a write waits for another live writer to let go of the file (5 s).
    void setLockTimeout(std::chrono::milliseconds timeout) { m_lockTimeout = timeout; }

    // The stored value with its type: bool, qint64, double, QString, QByteArray,
    // QDateTime (UTC), QVariantList or QVariantMap; invalid when absent.
    QVariant value(const QString &key) const;
    bool contains(const QString &key) const;

    // Typed reads answer the absent value when the key is absent or holds another type.
    bool boolValue(const QString &key) const;
    std::optional<qint64> integer(const QString &key) const;
    std::optional<double> doubleValue(const QString &key) const;
    std::optional<QString> string(const QString &key) const;
    std::optional<QByteArray> data(const QString &key) const;
    std::optional<QDateTime> date(const QString &key) const;
    // An array whose every element is an integer; any other element, or another
    // type, reads as absent.
    std::optional<QList<qint64>> integerList(const QString &key) const;

    // Writes return false only when the file could not be written; the value is
    // then still visible to this process until the file changes on disk.
    bool setBool(const QString &key, bool value);
    bool setInteger(const QString &key, qint64 value);
    bool setDouble(const QString &key, double value);
    bool setString(const QString &key, const QString &value);
    bool setData(const QString &key, const QByteArray &value);
    bool setDate(const QString &key, const QDateTime &value);
    bool setIntegerList(const QString &key, const QList<qint64> &value);
    // Stores any value of the types value() returns; others are refused.
    bool setValue(const QString &key, const QVariant &value);
    bool remove(const QString &key);

private:
    struct FileStamp
    {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        qint64 mtimeNs = 0;
        bool operator==(const FileStamp &) const = default;
    };

    enum class Check { stamp, content };

    static FileStamp stampOf(const struct stat &info);
    FileStamp stampOnDisk() const;
    std::optional<QByteArray> readFile(FileStamp &stamp) const;
    void reloadIfChanged(Check check) const;
    bool write(const QString &key, const std::optional<QVariant> &value);

    QString m_filePath;
    QByteArray m_nativePath;
    std::chrono::milliseconds m_lockTimeout{5000};
    mutable QVariantMap m_values;
    // The text m_values was read from; absent until loaded, or when the file could not be read.
    mutable std::optional<QByteArray> m_text;
    mutable FileStamp m_stamp;
    // The stamp was old enough when the file was read that no later change can share it.
    mutable bool m_stampSettled = false;
    mutable bool m_loaded = false;
    // The file on disk could not be read; it is moved aside before the next write.
    mutable bool m_corruptOnDisk = false;
};
