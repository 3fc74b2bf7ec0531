#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A throw-away PostgreSQL cluster in a temporary folder, reached only through a Unix
// socket there. PostgreSQL refuses to run as root: then the cluster runs as the
// "postgres" user (or "nobody"), whose folder it is.
class PostgresCluster
{
public:
    explicit PostgresCluster(const QString &binDir)
        : m_bin(binDir)
    {}
    ~PostgresCluster();

    // Empty on success, else what went wrong.
    QString start();
    // The URL of a new empty database, or an empty text when it could not be made.
    QString newDatabase();

private:
    // Runs one of the cluster's programs as the cluster's owner; its output when it failed.
    bool run(const QString &program, const QStringList &arguments, QString *output = nullptr);

    QString m_bin;
    QTemporaryDir m_dir;
    QStringList m_asOwner;
    int m_databases = 0;
};
