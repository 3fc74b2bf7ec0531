#include "PostgresCluster.h"

#include <QProcess>

#include <pwd.h>
#include <unistd.h>

PostgresCluster::~PostgresCluster()
{
    if (QFile::exists(m_dir.filePath("data/postmaster.pid")))
        run("pg_ctl", {"stop", "-D", m_dir.filePath("data"), "-m", "immediate", "-w"});
}

bool PostgresCluster::run(const QString &program, const QStringList &arguments, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList command = m_asOwner + QStringList{m_bin + "/" + program} + arguments;
    process.start(command.first(), command.mid(1));
    const bool done = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
                      && process.exitCode() == 0;
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return done;
}

QString PostgresCluster::start()
{
    if (!m_dir.isValid())
        return "no temporary folder";
    if (geteuid() == 0) {
        const passwd *owner = getpwnam("postgres");
        if (!owner)
            owner = getpwnam("nobody");
        if (!owner || chown(m_dir.path().toLocal8Bit().constData(), owner->pw_uid, owner->pw_gid))
            return "cannot give the cluster folder to an unprivileged user";
        m_asOwner = {"setpriv", "--reuid=" + QString::number(owner->pw_uid),
                     "--regid=" + QString::number(owner->pw_gid), "--clear-groups"};
    }
    QString output;
    if (!run("initdb",
             {"-D", m_dir.filePath("data"), "-U", "tachora", "-A", "trust", "-E", "UTF8",
              "--locale=C", "--no-sync"},
             &output))
        return "initdb: " + output;
    // No TCP port: nothing else on the machine can meet this cluster.
    if (!run("pg_ctl",
             {"start", "-w", "-D", m_dir.filePath("data"), "-l", m_dir.filePath("log"), "-o",
              "-k " + m_dir.path() + " -c listen_addresses='' -F"},
             &output))
        return "pg_ctl: " + output;
    return {};
}

QString PostgresCluster::newDatabase()
{
    // A schema of its own is as good as a database here, and much quicker to make.
    const QString name = "test" + QString::number(++m_databases);
    if (!run("psql", {"-h", m_dir.path(), "-U", "tachora", "-d", "postgres", "-q", "-c",
                      "CREATE SCHEMA " + name}))
        return {};
    return "postgresql:///postgres?host=" + m_dir.path() + "&user=tachora&options=-csearch_path%3D"
           + name;
}
