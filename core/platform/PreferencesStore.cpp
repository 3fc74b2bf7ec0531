// The preferences file: one JSON object, one member per key.
//
//   {
//       "TCHistory": {"$data": "W3siZGF0ZSI6..."},
//       "TCLastCrashScan": {"$date": 1796563200.25},
//       "TCLiveMenuBar": true,
//       "ratio": 0.25,
//       "scale": {"$double": 2},
//       "TCShownMessages": [3, 7]
//   }
//
// - true/false are booleans, strings are text, arrays are arrays of these values.
// - A whole number is an integer ("7", also when written "7.0"); a number with a
//   fraction is a double ("0.5", "1e-3"). A double with a whole value is tagged,
//   {"$double": 7}, so that an integer and a double of the same value keep their
//   types; so is a double that JSON cannot write: {"$double": "nan" | "inf" | "-inf"}.
// - Binary data is {"$data": "<base64>"}; a date is {"$date": <seconds since
//   1970-01-01 UTC, as a double>}, kept to the millisecond.
// - Any other object is a dictionary of values. Members that cannot be read (null,
//   a malformed tag) are ignored; a file that is not a JSON object reads as empty and
//   is kept aside as preferences.json.corrupt before the next write replaces it.
//
// Writes take preferences.json.lock, re-read a file that another process changed,
// apply their one key and replace the file atomically, so that processes sharing the
// file never lose each other's keys.

#include "platform/PreferencesStore.h"

#include "platform/PreferencesCodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>

#include <sys/stat.h>

namespace {

constexpr int lockTimeoutMs = 5000;
constexpr int staleLockMs = 10000;

} // namespace

PreferencesStore::PreferencesStore(QString filePath)
    : m_filePath(std::move(filePath))
{}

PreferencesStore &PreferencesStore::shared()
{
    static PreferencesStore store(defaultFilePath());
    return store;
}

QString PreferencesStore::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/Tachora/preferences.json");
}

PreferencesStore::FileStamp PreferencesStore::stampOnDisk() const
{
    struct stat info
    {};
    if (::stat(QFile::encodeName(m_filePath).constData(), &info) != 0)
        return {};
    return {true, info.st_dev, info.st_ino, info.st_size,
            qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

void PreferencesStore::reloadIfChanged() const
{
    const FileStamp stamp = stampOnDisk();
    if (m_loaded && stamp == m_stamp)
        return;
    m_loaded = true;
    m_stamp = stamp;
    m_values.clear();
    m_corruptOnDisk = false;
    if (!stamp.exists)
        return;

    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        m_corruptOnDisk = true;
        return;
    }
    const QByteArray text = file.readAll();
    if (text.trimmed().isEmpty())
        return;
    if (auto values = PreferencesCodec::decode(text))
        m_values = std::move(*values);
    else
        m_corruptOnDisk = true;
}

bool PreferencesStore::write(const QString &key, const std::optional<QVariant> &value)
{
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    QLockFile lock(m_filePath + QStringLiteral(".lock"));
    lock.setStaleLockTime(staleLockMs);
    const bool locked = lock.tryLock(lockTimeoutMs);

    reloadIfChanged();
    // What this process sees is exactly what the next reload would give back.
    const auto written =
        value ? PreferencesCodec::decode(PreferencesCodec::encode({{key, *value}})) : std::nullopt;
    if (written && written->contains(key))
        m_values.insert(key, written->value(key));
    else
        m_values.remove(key);
    if (!locked)
        return false;

    if (m_corruptOnDisk) {
        const QString aside = m_filePath + QStringLiteral(".corrupt");
        QFile::remove(aside);
        if (!QFile::rename(m_filePath, aside))
            return false;
        m_corruptOnDisk = false;
    }

    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(PreferencesCodec::encode(m_values));
    if (!file.commit())
        return false;
    m_stamp = stampOnDisk();
    return true;
}

QVariant PreferencesStore::value(const QString &key) const
{
    reloadIfChanged();
    return m_values.value(key);
}

bool PreferencesStore::contains(const QString &key) const
{
    reloadIfChanged();
    return m_values.contains(key);
}

bool PreferencesStore::boolValue(const QString &key) const
{
    const QVariant stored = value(key);
    return stored.typeId() == QMetaType::Bool && stored.toBool();
}

std::optional<qint64> PreferencesStore::integer(const QString &key) const
{
    const QVariant stored = value(key);
    if (stored.typeId() != QMetaType::LongLong)
        return std::nullopt;
    return stored.toLongLong();
}

std::optional<double> PreferencesStore::doubleValue(const QString &key) const
{
    const QVariant stored = value(key);
    if (stored.typeId() != QMetaType::Double)
        return std::nullopt;
    return stored.toDouble();
}

std::optional<QString> PreferencesStore::string(const QString &key) const
{
    const QVariant stored = value(key);
    if (stored.typeId() != QMetaType::QString)
        return std::nullopt;
    return stored.toString();
}

std::optional<QByteArray> PreferencesStore::data(const QString &key) const
{
    const QVariant stored = value(key);
    if (stored.typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return stored.toByteArray();
}

std::optional<QDateTime> PreferencesStore::date(const QString &key) const
{
    const QVariant stored = value(key);
    if (stored.typeId() != QMetaType::QDateTime)
        return std::nullopt;
    return stored.toDateTime();
}

std::optional<QList<qint64>> PreferencesStore::integerList(const QString &key) const
{
    const QVariant stored = value(key);
    if (stored.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    QList<qint64> integers;
    for (const QVariant &element : stored.toList()) {
        if (element.typeId() != QMetaType::LongLong)
            return std::nullopt;
        integers.append(element.toLongLong());
    }
    return integers;
}

bool PreferencesStore::setBool(const QString &key, bool value)
{
    return write(key, QVariant(value));
}

bool PreferencesStore::setInteger(const QString &key, qint64 value)
{
    return write(key, QVariant(value));
}

bool PreferencesStore::setDouble(const QString &key, double value)
{
    return write(key, QVariant(value));
}

bool PreferencesStore::setString(const QString &key, const QString &value)
{
    return write(key, QVariant(value));
}

bool PreferencesStore::setData(const QString &key, const QByteArray &value)
{
    return write(key, QVariant(value));
}

bool PreferencesStore::setDate(const QString &key, const QDateTime &value)
{
    if (!value.isValid())
        return false;
    return write(key, QVariant(value.toUTC()));
}

bool PreferencesStore::setIntegerList(const QString &key, const QList<qint64> &value)
{
    QVariantList list;
    list.reserve(value.size());
    for (qint64 element : value)
        list.append(QVariant(element));
    return write(key, QVariant(list));
}

bool PreferencesStore::setValue(const QString &key, const QVariant &value)
{
    if (!PreferencesCodec::isStorable(value))
        return false;
    return write(key, value);
}

bool PreferencesStore::remove(const QString &key)
{
    return write(key, std::nullopt);
}
