#include "SpeedServerProcess.h"

#include <QFile>

#include <csignal>
#include <sys/prctl.h>

SpeedServerProcess::~SpeedServerProcess()
{
    m_process.kill();
    m_process.waitForFinished();
}

bool SpeedServerProcess::start(const QStringList &arguments)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A test that crashes must not leave a server behind holding the test runner's output.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process.start(SPEEDSERVER_PATH, QStringList{"--port", "0", "--log", "--totals"} + arguments);
    while (m_process.waitForStarted() && !m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(10000))
            return false;
    }
    const QByteArray line = m_process.readLine().trimmed();
    const bool tls = arguments.contains("--cert");
    m_origin = QString(tls ? "https" : "http") + "://127.0.0.1:" + line.mid(5);
    return line.startsWith("port ");
}

QStringList SpeedServerProcess::requests()
{
    while (m_process.canReadLine())
        m_lines.append(QString::fromUtf8(m_process.readLine().chopped(1)));
    QStringList requests = m_lines;
    requests.removeIf([](const QString &line) { return line.startsWith(u"moved "); });
    return requests;
}

SpeedServerProcess::Log SpeedServerProcess::stop()
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
    }
    return log;
}

int SpeedServerProcess::count(const QStringList &requests, const QString &prefix)
{
    return int(std::count_if(requests.begin(), requests.end(),
                             [&](const QString &line) { return line.startsWith(prefix); }));
}

bool SpeedServerProcess::makeCertificate(const QString &folder)
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start("openssl",
                  QString("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                          "-nodes -days 2 -subj /CN=127.0.0.1 -addext "
                          "subjectAltName=IP:127.0.0.1")
                          .split(u' ')
                      + QStringList{"-keyout", folder + "/key.pem", "-out", folder + "/cert.pem"});
    return openssl.waitForFinished(20000) && openssl.exitCode() == 0
           && QFile::exists(folder + "/cert.pem");
}
