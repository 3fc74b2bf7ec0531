// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "TestSupport.h"

#include <pwd.h>
#include <unistd.h>

// A throw-away PostgreSQL cluster in a temporary folder, reached only through a Unix
// socket there. PostgreSQL refuses to run as root: then the cluster runs as the
// "postgres" user (or "nobody"), whose folder it is.
class PostgresCluster
{
public:
    ~PostgresCluster() { run("pg_ctl", {"stop", "-D", m_dir.filePath("data"), "-m", "immediate"}); }

    // Starts the cluster with the server programs in binDir: empty on success, else what went
    // wrong.
    QString start(const QString &binDir)
    {
        m_bin = binDir;
        if (geteuid() == 0) {
            const passwd *owner = getpwnam("postgres");
            if (!owner)
                owner = getpwnam("nobody");
            if (!owner
                || chown(QFile::encodeName(m_dir.path()).constData(), owner->pw_uid, owner->pw_gid))
                return "cannot give the cluster folder to an unprivileged user";
            m_asOwner = {"--reuid=" + QString::number(owner->pw_uid),
                         "--regid=" + QString::number(owner->pw_gid), "--clear-groups"};
        }
        TestSupport::ProcessRun done =
            run("initdb", {"-D", m_dir.filePath("data"), "-U", "tachora", "-A", "trust", "-E",
                           "UTF8", "--locale=C", "--no-sync"});
        // No TCP port: nothing else on the machine can meet this cluster.
        if (done.status == 0)
            done = run("pg_ctl",
                       {"start", "-w", "-D", m_dir.filePath("data"), "-l", m_dir.filePath("log"),
                        "-o", "-k " + m_dir.path() + " -c listen_addresses='' -F"});
        return done.status == 0 ? QString() : QString::fromLocal8Bit(done.out + done.err);
    }

    // The URL of a new empty database, or an empty text when it could not be made.
    QString newDatabase()
    {
        // A schema of its own is as good as a database here, and much quicker to make.
        const QString name = "test" + QString::number(++m_databases);
        const QStringList psql = {"-h", m_dir.path(), "-U", "tachora", "-d", "postgres", "-q"};
        if (run("psql", psql + QStringList{"-c", "CREATE SCHEMA " + name}).status != 0)
            return {};
        return "postgresql:///postgres?host=" + m_dir.path()
               + "&user=tachora&options=-csearch_path%3D" + name;
    }

private:
    // One of the cluster's programs, run as the cluster's owner (setpriv changes nothing when
    // the test is not root).
    TestSupport::ProcessRun run(const QString &program, const QStringList &arguments)
    {
        return TestSupport::run("setpriv",
                                m_asOwner + QStringList{m_bin + "/" + program} + arguments);
    }

    QString m_bin;
    QTemporaryDir m_dir;
    QStringList m_asOwner;
    int m_databases = 0;
};
