// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

class QLocalSocket;

// One application per user: the first process holds a lock file and listens on a local
// socket beside it; a later one connects, which asks the first to show itself, hands it the
// activation token it was started with, and exits. Both files live in the user's runtime
// folder ($XDG_RUNTIME_DIR).
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(const QString &folder = defaultFolder(), QObject *parent = nullptr);

    static QString defaultFolder();
    QString socketPath() const { return m_socketPath; }

    // True when this process is the one to run: it then answers later ones. False when
    // a running instance took the request to show itself.
    bool claim();

signals:
    // A later process asked us to show ourselves. activationToken is the Wayland activation
    // token (XDG_ACTIVATION_TOKEN) its launcher gave it, empty when it had none or sent a
    // malformed one: on Wayland only a window activated with it may come to the front.
    void activationRequested(const QByteArray &activationToken);

private:
    bool askRunningInstance() const;
    void listen();
    void readRequest(QLocalSocket *socket);

    QLockFile m_lock;
    QString m_socketPath;
    QLocalServer m_server;
};
