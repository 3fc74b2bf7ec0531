// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "TestSupport.h"

// A tachora-speedserver child process on 127.0.0.1 that logs every request it gets.
class SpeedServerProcess
{
public:
    ~SpeedServerProcess()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

    // Starts it with these extra arguments; false when it did not come up.
    bool start(const QStringList &arguments = {})
    {
        const int port =
            TestSupport::startServer(m_process, SPEEDSERVER_PATH,
                                     QStringList{"--port", "0", "--log", "--totals"} + arguments);
        const bool tls = arguments.contains("--cert");
        m_origin = QString(tls ? "https" : "http") + "://127.0.0.1:" + QString::number(port);
        return port > 0;
    }

    // "http://127.0.0.1:<port>", or https when started with a certificate.
    QString origin() const { return m_origin; }
    qint64 processId() const { return m_process.processId(); }

    // The request lines logged so far, such as "GET /__down?bytes=100000".
    QStringList requests()
    {
        while (m_process.canReadLine())
            m_lines.append(QString::fromUtf8(m_process.readLine().chopped(1)));
        static const QRegularExpression request("^(?!moved |connections |times )");
        return m_lines.filter(request);
    }

    // With --log-times: for each answered request of this method, its target, when its head
    // arrived and when its body began and ended moving (microseconds; 0 when it moved none),
    // and the connection it came on, in the order the answers ended.
    struct Times
    {
        QString target;
        qint64 head = 0;
        qint64 start = 0;
        qint64 end = 0;
        int connection = 0;
    };
    QList<Times> times(const QString &method)
    {
        requests();
        QList<Times> all;
        for (const QString &line : std::as_const(m_lines)) {
            const QStringList words = line.split(u' ');
            if (words.size() == 7 && words[0] == u"times" && words[1] == method)
                all.append({words[2], words[3].toLongLong(), words[4].toLongLong(),
                            words[5].toLongLong(), words[6].toInt()});
        }
        return all;
    }

    // Stops the server: every request line it logged, the body bytes it moved each way and
    // the connections it served.
    struct Log
    {
        QStringList requests;
        qint64 down = -1;
        qint64 up = -1;
        int connections = -1;
    };
    Log stop()
    {
        m_process.terminate();
        m_process.waitForFinished();
        Log log{requests()};
        for (const QString &line : std::as_const(m_lines)) {
            const QStringList words = line.split(u' ');
            if (words.size() == 5 && words[0] == u"moved") {
                log.down = words[2].toLongLong();
                log.up = words[4].toLongLong();
            }
            if (words.size() == 2 && words[0] == u"connections")
                log.connections = words[1].toInt();
        }
        return log;
    }

    // The requests among these that begin with the prefix, such as "HEAD".
    static int count(const QStringList &requests, const QString &prefix)
    {
        return int(std::count_if(requests.begin(), requests.end(),
                                 [&](const QString &line) { return line.startsWith(prefix); }));
    }

private:
    QProcess m_process;
    QString m_origin;
    QStringList m_lines;
};
