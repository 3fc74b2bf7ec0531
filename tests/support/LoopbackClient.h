// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "TestSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A plain TCP connection to 127.0.0.1:port, for what no HTTP library sends: requests
// written by hand, several in one write, or nothing at all. Reads wait at most timeoutMs.
class LoopbackClient
{
public:
    struct Answer
    {
        int status = 0; // 0: the connection closed or timed out first
        QByteArray body;
        QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    };

    explicit LoopbackClient(int port, int timeoutMs = 5000)
        : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        const timeval timeout{timeoutMs / 1000, timeoutMs % 1000 * 1000};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    ~LoopbackClient() { ::close(m_fd); }

    bool send(const QByteArray &bytes)
    {
        return ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }

    // The next answer, its body as long as its Content-Length says; without a body when it
    // answers HEAD (`withBody` false).
    Answer read(bool withBody = true)
    {
        for (;;) {
            const qsizetype end = m_in.indexOf("\r\n\r\n");
            const qsizetype at = m_in.left(end).toLower().indexOf("content-length: ");
            const qsizetype length =
                at < 0 ? 0 : m_in.mid(at + 16, m_in.indexOf("\r\n", at) - at - 16).toLongLong();
            const qsizetype size = withBody ? length : 0;
            if (end >= 0 && m_in.size() >= end + 4 + size) {
                Answer answer{m_in.mid(9, 3).toInt(), m_in.mid(end + 4, size)};
                m_in.remove(0, end + 4 + size);
                return answer;
            }
            if (!receive())
                return {};
        }
    }

    // Whether the server closed the connection within the read time-out.
    bool closedByPeer()
    {
        while (receive()) {
        }
        return errno == 0 || errno == ECONNRESET;
    }

    // Whether the connection is still open, without waiting.
    bool openNow() { return !receive(MSG_DONTWAIT) && errno == EAGAIN; }

private:
    bool receive(int flags = 0)
    {
        char buffer[4096];
        errno = 0;
        const ssize_t count = recv(m_fd, buffer, sizeof buffer, flags);
        if (count > 0)
            m_in.append(buffer, count);
        return count > 0;
    }

    int m_fd;
    QByteArray m_in;
};
