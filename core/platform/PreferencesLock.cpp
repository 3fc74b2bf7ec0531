// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/PreferencesLock.h"

#include <QDeadlineTimer>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

PreferencesLock::PreferencesLock(const QString &path, std::chrono::milliseconds timeout)
    : m_path(QFile::encodeName(path))
{
    const QDeadlineTimer deadline(timeout);
    std::chrono::milliseconds pause = 1ms;
    for (;;) {
        // Read-only is enough to lock, and works on a lock file whatever its mode.
        const int fd = ::open(m_path.constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (isStillAtPath(fd)) {
                m_fd = fd;
                return;
            }
            // The holder before us removed the file as it let go: lock the next one.
            ::close(fd);
            if (deadline.hasExpired())
                return;
            continue;
        }
        const int error = errno;
        ::close(fd);
        if ((error != EWOULDBLOCK && error != EINTR) || deadline.hasExpired())
            return;
        std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(
            pause, std::chrono::milliseconds(deadline.remainingTime())));
        pause = std::min(pause * 2, 2ms);
    }
}

PreferencesLock::~PreferencesLock()
{
    if (m_fd < 0)
        return;
    // Removed while still held, so that whoever waits on this file sees it is gone.
    ::unlink(m_path.constData());
    ::close(m_fd);
}

bool PreferencesLock::isStillAtPath(int fd) const
{
    struct stat held
    {};
    struct stat atPath
    {};
    return ::fstat(fd, &held) == 0 && ::stat(m_path.constData(), &atPath) == 0
           && held.st_dev == atPath.st_dev && held.st_ino == atPath.st_ino;
}
