#include "SingleInstance.h"

#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace {

constexpr int connectAttempts = 3;
constexpr int connectTimeoutMs = 150;

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
    // The connection alone is the request: nothing is read from it.
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            socket->abort();
            socket->deleteLater();
        }
        emit activationRequested();
    });
    m_server.listen(m_socketPath);
}
