// SPDX-License-Identifier: GPL-3.0-or-later
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
//   types; so is a double that JSON cannot write or would read back as the integer 0:
//   {"$double": "nan" | "inf" | "-inf" | "-0"}.
// - Binary data is {"$data": "<base64>"}; a date is {"$date": <seconds since
//   1970-01-01 UTC>}, kept to the millisecond: an integer on a whole second, else a
//   number with a fraction. Files of earlier versions hold whole seconds as
//   {"$date": {"$double": N}}, which reads as the same date.
// - Any other object is a dictionary of values. A dictionary that would read as a tag
//   (one member whose key begins with "$") is written inside {"$map": {...}}.
//   Members that cannot be read (null, a malformed tag) are ignored; a file that is not
//   a JSON object reads as empty and is kept aside as preferences.json.corrupt before
//   the next write replaces it.
//
// Reads answer from memory while the file's stamp (device, inode, size, modification
// time) is the one it had when it was read. A stamp younger than a few seconds cannot
// tell every change, since many filesystems keep times to the second: then the text is
// read again and compared. Writes take preferences.json.lock (see PreferencesLock),
// compare the text on disk with what they last read whatever its stamp, re-read it
// when another process changed it, apply their one key and replace the file
// atomically, so that processes sharing the file never lose each other's keys.

#include "platform/PreferencesStore.h"

#include "platform/PreferencesCodec.h"
#include "platform/PreferencesLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Modification times are kept to 1 s on some filesystems (2 s on FAT), and a file
// server's clock may run a little behind ours. A file read less than this after its
// time may still change without its stamp changing.
constexpr qint64 unsettledStampNs = 3'000'000'000;

qint64 nowNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

} // namespace

PreferencesStore::PreferencesStore(QString filePath)
    : m_filePath(std::move(filePath))
    , m_nativePath(QFile::encodeName(m_filePath))
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

PreferencesStore::FileStamp PreferencesStore::stampOf(const struct stat &info)
{
    return {true, info.st_dev, info.st_ino, info.st_size,
            qint64(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

PreferencesStore::FileStamp PreferencesStore::stampOnDisk() const
{
    struct stat info
    {};
    if (::stat(m_nativePath.constData(), &info) != 0)
        return {};
    return stampOf(info);
}

std::optional<QByteArray> PreferencesStore::readFile(FileStamp &stamp) const
{
    stamp = {};
    const int fd = ::open(m_nativePath.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return QByteArray();
        stamp = stampOnDisk();
        return std::nullopt;
    }
    // The stamp of the very file that is read, taken before its text: a change after
    // this point shows as a later stamp or as other text.
    struct stat info
    {};
    std::optional<QByteArray> text;
    if (::fstat(fd, &info) == 0) {
        stamp = stampOf(info);
        text.emplace();
        text->reserve(info.st_size);
        char buffer[16384];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got > 0) {
                text->append(buffer, got);
            } else if (got == 0) {
                break;
            } else if (errno != EINTR) {
                text.reset();
                break;
            }
        }
    }
    ::close(fd);
    return text;
}

void PreferencesStore::reloadIfChanged(Check check) const
{
    if (m_loaded && check == Check::stamp && m_stampSettled && stampOnDisk() == m_stamp)
        return;
    const qint64 readAtNs = nowNs();
    FileStamp stamp;
    std::optional<QByteArray> text = readFile(stamp);
    m_stamp = stamp;
    m_stampSettled = !stamp.exists || stamp.mtimeNs + unsettledStampNs <= readAtNs;
    if (m_loaded && text && text == m_text)
        return;

    m_loaded = true;
    m_text = std::move(text);
    m_values.clear();
    m_corruptOnDisk = !m_text;
    if (!m_text || m_text->trimmed().isEmpty())
        return;
    if (auto values = PreferencesCodec::decode(*m_text))
        m_values = std::move(*values);
    else
        m_corruptOnDisk = true;
}

bool PreferencesStore::write(const QString &key, const std::optional<QVariant> &value)
{
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    const PreferencesLock lock(m_filePath + QStringLiteral(".lock"), m_lockTimeout);

    // Under the lock the text is compared whatever the stamp says: putting back a stale
    // copy here would lose another process's keys.
    reloadIfChanged(lock.isLocked() ? Check::content : Check::stamp);
    // What this process sees is exactly what the next reload would give back.
    const auto written =
        value ? PreferencesCodec::decode(PreferencesCodec::encode({{key, *value}})) : std::nullopt;
    if (written && written->contains(key))
        m_values.insert(key, written->value(key));
    else
        m_values.remove(key);
    if (!lock.isLocked())
        return false;

    const QByteArray text = PreferencesCodec::encode(m_values);
    if (!m_corruptOnDisk && text == m_text)
        return true;
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
    file.write(text);
    if (!file.commit())
        return false;
    m_text = text;
    m_stamp = stampOnDisk();
    m_stampSettled = false;
    return true;
}

QVariant PreferencesStore::value(const QString &key) const
{
    reloadIfChanged(Check::stamp);
    return m_values.value(key);
}

bool PreferencesStore::contains(const QString &key) const
{
    reloadIfChanged(Check::stamp);
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
