#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

// One application per user: the first process holds a lock file and listens on a local
// socket beside it; a later one only connects, which asks the first to show itself, and
// exits. Both files live in the user's runtime folder ($XDG_RUNTIME_DIR).
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
    void activationRequested();

private:
    bool askRunningInstance() const;
    void listen();

    QLockFile m_lock;
    QString m_socketPath;
    QLocalServer m_server;
};
