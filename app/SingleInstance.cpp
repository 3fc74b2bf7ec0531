// SPDX-License-Identifier: GPL-3.0-or-later
#include "SingleInstance.h"

#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

constexpr int connectAttempts = 3;
constexpr int connectTimeoutMs = 150;
// How long a later process may take to send its token before we show ourselves without it.
constexpr std::chrono::milliseconds requestTimeout{1000};
constexpr qsizetype maxTokenLength = 512;

// Tokens are opaque, but always short printable ASCII without spaces.
bool isToken(const QByteArray &token)
{
    return token.size() <= maxTokenLength
           && std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 127; });
}

} // namespace

SingleInstance::SingleInstance(const QString &folder, QObject *parent)
    : QObject(parent)
    , m_lock(folder + QStringLiteral("/tachora.lock"))
    , m_socketPath(folder + QStringLiteral("/tachora.socket"))
{
    // A lock is stale only when its process is gone, never because of its age: the first
    // instance may run for weeks.
    m_lock.setStaleLockTime(0);
}

QString SingleInstance::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

bool SingleInstance::claim()
{
    // tryLock takes over a lock whose process died.
    if (m_lock.tryLock(0)) {
        listen();
        return true;
    }
    // The holder may be between taking the lock and listening: try a few times. One that
    // never answers is hung or not ours; running beside it beats not starting at all.
    return !askRunningInstance();
}

bool SingleInstance::askRunningInstance() const
{
    for (int attempt = 0; attempt < connectAttempts; ++attempt) {
        if (attempt > 0)
            QThread::msleep(connectTimeoutMs);
        QLocalSocket socket;
        socket.connectToServer(m_socketPath);
        if (socket.waitForConnected(connectTimeoutMs)) {
            socket.write(qgetenv("XDG_ACTIVATION_TOKEN") + '\n');
            socket.waitForBytesWritten(connectTimeoutMs);
            socket.disconnectFromServer();
            return true;
        }
    }
    return false;
}

void SingleInstance::listen()
{
    // A socket file left by a killed instance would make listen() fail.
    QLocalServer::removeServer(m_socketPath);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server.nextPendingConnection())
            readRequest(socket);
    });
    m_server.listen(m_socketPath);
}

void SingleInstance::readRequest(QLocalSocket *socket)
{
    // The connection is the request; its one line, the token, is awaited briefly. A process
    // that sends nothing (an earlier version) or hangs is still answered, once.
    auto answered = std::make_shared<bool>(false);
    const auto answer = [this, socket, answered] {
        if (std::exchange(*answered, true))
            return;
        QByteArray token = socket->readLine(maxTokenLength + 2).trimmed();
        if (!isToken(token))
            token.clear();
        socket->abort();
        socket->deleteLater();
        emit activationRequested(token);
    };
    connect(socket, &QLocalSocket::readyRead, this, [socket, answer] {
        if (socket->canReadLine() || socket->bytesAvailable() > maxTokenLength)
            answer();
    });
    connect(socket, &QLocalSocket::disconnected, this, answer);
    QTimer::singleShot(requestTimeout, socket, answer);
}
