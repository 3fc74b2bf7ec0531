#include "SpeedServerProcess.h"

#include <QFile>

#include <csignal>
#include <sys/prctl.h>

SpeedServerProcess::~SpeedServerProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

bool SpeedServerProcess::start(const QStringList &arguments)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A test that crashes must not leave a server behind holding the test runner's output.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process.start(QStringLiteral(SPEEDSERVER_PATH),
                    QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                QStringLiteral("--log"), QStringLiteral("--totals")}
                        + arguments);
    if (!m_process.waitForStarted())
        return false;
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(10000))
            return false;
    }
    const QByteArray line = m_process.readLine().trimmed();
    if (!line.startsWith("port "))
        return false;
    const bool tls = arguments.contains(QStringLiteral("--cert"));
    m_origin = (tls ? QStringLiteral("https://127.0.0.1:") : QStringLiteral("http://127.0.0.1:"))
               + QString::fromLatin1(line.mid(5));
    return true;
}

void SpeedServerProcess::readLines()
{
    m_partial += m_process.readAllStandardOutput();
    qsizetype end;
    while ((end = m_partial.indexOf('\n')) >= 0) {
        m_lines.append(QString::fromUtf8(m_partial.left(end)));
        m_partial.remove(0, end + 1);
    }
}

QStringList SpeedServerProcess::requests()
{
    readLines();
    QStringList requests;
    for (const QString &line : std::as_const(m_lines)) {
        if (!line.startsWith(u"moved "))
            requests.append(line);
    }
    return requests;
}

SpeedServerProcess::Log SpeedServerProcess::stop()
{
    ::kill(pid_t(m_process.processId()), SIGTERM);
    m_process.waitForFinished();
    Log log;
    log.requests = requests();
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
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                   QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=IP:127.0.0.1"), QStringLiteral("-keyout"),
                   folder + QStringLiteral("/key.pem"), QStringLiteral("-out"),
                   folder + QStringLiteral("/cert.pem")});
    return openssl.waitForFinished(20000) && openssl.exitCode() == 0
           && QFile::exists(folder + QStringLiteral("/cert.pem"));
}
