#pragma once

#include <QProcess>
#include <QStringList>

// A tachora-speedserver child process on 127.0.0.1 that logs every request it gets.
class SpeedServerProcess
{
public:
    ~SpeedServerProcess();

    // Starts it with these extra arguments; false when it did not come up.
    bool start(const QStringList &arguments = {});
    // "http://127.0.0.1:<port>", or https when started with a certificate.
    QString origin() const { return m_origin; }
    qint64 processId() const { return m_process.processId(); }

    // The request lines logged so far, such as "GET /__down?bytes=100000".
    QStringList requests();
    // Stops the server: every request line it logged, and the body bytes it moved each way.
    struct Log
    {
        QStringList requests;
        qint64 down = -1;
        qint64 up = -1;
    };
    Log stop();

    // The requests among these that begin with the prefix, such as "HEAD".
    static int count(const QStringList &requests, const QString &prefix);

    // A self-signed certificate for 127.0.0.1 and its key: "<folder>/cert.pem",
    // "<folder>/key.pem". False when openssl could not make them.
    static bool makeCertificate(const QString &folder);

private:
    QProcess m_process;
    QString m_origin;
    QStringList m_lines;
};
