#include "TestSupport.h"

#include <QProcess>
#include <QTemporaryDir>

namespace {

QTemporaryDir &userDirs()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/tachora-test-XXXXXX"));
    return dir;
}

} // namespace

namespace TestSupport {

void isolateUserDirs()
{
    const QString root = userDirs().path();
    const char *variables[][2] = {{"XDG_CONFIG_HOME", "config"},
                                  {"XDG_DATA_HOME", "data"},
                                  {"XDG_CACHE_HOME", "cache"},
                                  {"XDG_STATE_HOME", "state"},
                                  {"XDG_RUNTIME_DIR", "runtime"}};
    for (const auto &[variable, folder] : variables) {
        const QString path = root + u'/' + QLatin1String(folder);
        QDir().mkpath(path);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                        | QFileDevice::ExeOwner);
        qputenv(variable, QFile::encodeName(path));
    }
    qputenv("HOME", QFile::encodeName(root));
}

QString userDirsRoot()
{
    return userDirs().path();
}

ProcessRun run(const QString &program, const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

} // namespace TestSupport
