// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

// The lock that writers of the preferences file take beside it. The kernel holds it
// (flock) for as long as the holder's process lives, so a lock file left by a process
// that died, empty or not, is taken over at once; a live holder is waited for until the
// timeout. The file is removed when the lock is let go.
class PreferencesLock
{
public:
    PreferencesLock(const QString &path, std::chrono::milliseconds timeout);
    ~PreferencesLock();
    PreferencesLock(const PreferencesLock &) = delete;
    PreferencesLock &operator=(const PreferencesLock &) = delete;

    bool isLocked() const { return m_fd >= 0; }

private:
    bool isStillAtPath(int fd) const;

    QByteArray m_path;
    int m_fd = -1;
};
