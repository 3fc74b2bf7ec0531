// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <optional>
#include <sys/types.h>

// The record that a crash left for the next launch (FatalHandlers writes it). It stays on
// disk until the service has taken it, so that a launch without network, or one that
// ends before the upload does, leaves it for the next.
class PendingCrash
{
public:
    // The record in the pending file at `path`. A whole record stranded in the partial
    // file beside it (the crash ended before moving it into place) is the newer one and
    // takes the pending file's place first; a partial one is removed. Absent when there
    // is no record or it cannot be read.
    static std::optional<PendingCrash> read(const QString &path);

    // The record's first piece is its message, the second its stack; further ones are
    // dropped. Bytes that are not UTF-8 (a path, an exception's text) become U+FFFD rather
    // than keep the record from ever leaving.
    static PendingCrash parse(const QByteArray &bytes);

    const QString &message() const { return m_message; }
    const QString &stack() const { return m_stack; }

    // Removes the file the record was read from, unless a crash of this process has put a
    // new record in its place since.
    void remove() const;

private:
    struct FileIdentity
    {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        qint64 modifiedNs = 0;
        bool operator==(const FileIdentity &) const = default;
    };
    static std::optional<FileIdentity> identityOf(const QString &path);

    QString m_message;
    QString m_stack;
    QString m_path;
    FileIdentity m_identity;
};
