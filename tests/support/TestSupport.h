// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/SpeedTestConfig.h"

#include <QtTest/QtTest>

#include <csignal>
#include <sys/prctl.h>

namespace TestSupport {

// A fresh temporary folder that lives until the process ends.
inline QString userDirsRoot()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/tachora-test-XXXXXX"));
    return dir.path();
}

// Points every XDG base directory at a folder in userDirsRoot(), so that no test reads or
// writes the real user's files. Must run before anything asks QStandardPaths (or the shared
// preferences store) for a path.
inline void isolateUserDirs()
{
    const QString root = userDirsRoot();
    for (const QByteArray folder : {"config", "data", "cache", "state", "runtime"}) {
        const QString path = root + u'/' + folder;
        QDir().mkpath(path);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                        | QFileDevice::ExeOwner);
        // XDG_CONFIG_HOME … XDG_STATE_HOME, XDG_RUNTIME_DIR
        qputenv("XDG_" + folder.toUpper() + (folder == "runtime" ? "_DIR" : "_HOME"),
                QFile::encodeName(path));
    }
    qputenv("HOME", QFile::encodeName(root));
}

// How a program ended: its exit status (-1 when it crashed or ran over a minute), and what
// it wrote.
struct ProcessRun
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a program to its end, with this on its standard input.
inline ProcessRun run(const QString &program, const QStringList &arguments,
                      const QByteArray &input = {})
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

// Starts a child program that dies with the test (PR_SET_PDEATHSIG), so that a crashed test
// leaves none behind holding a port or the runner's output. Its standard error goes to the
// test's own unless the mode says otherwise.
inline void startChild(QProcess &process, const QString &program, const QStringList &arguments,
                       QProcess::ProcessChannelMode mode = QProcess::ForwardedErrorChannel)
{
    process.setProcessChannelMode(mode);
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process.start(program, arguments);
}

// Starts a server program (startChild()) whose first output line is "port N": N, or 0 when it
// did not come up.
inline int startServer(QProcess &process, const QString &program, const QStringList &arguments)
{
    startChild(process, program, arguments);
    while (process.waitForStarted() && !process.canReadLine()) {
        if (!process.waitForReadyRead(20000))
            return 0;
    }
    const QByteArray line = process.readLine().trimmed();
    return line.startsWith("port ") ? line.mid(5).toInt() : 0;
}

// A self-signed certificate for 127.0.0.1 and its key: "<folder>/cert.pem",
// "<folder>/key.pem". False when openssl could not make them.
inline bool makeCertificate(const QString &folder)
{
    const QStringList arguments =
        QString("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1")
            .split(u' ')
        + QStringList{"-keyout", folder + "/key.pem", "-out", folder + "/cert.pem"};
    return run("openssl", arguments).status == 0 && QFile::exists(folder + "/cert.pem");
}

// An origin nothing listens on: what the tests give every address they must not reach.
inline const QString closedOrigin = QStringLiteral("http://127.0.0.1:9");

// An engine configuration for a quick test against host: phases of downloadBudget and 0.5 s,
// two small download steps, time-outs a little past the phase.
inline SpeedTestConfig quickConfig(const QString &host = closedOrigin, double downloadBudget = 0.6)
{
    SpeedTestConfig config;
    config.host = host;
    config.downloadBudget = downloadBudget;
    config.uploadBudget = 0.5;
    config.downloadSteps = {200000, 1000000};
    config.pingTimeout = config.downloadTimeout = config.uploadTimeout =
        std::chrono::seconds(2 + int(downloadBudget));
    return config;
}

// Runs the event loop until done() holds, for timeoutMs at most; whether it holds. Where a
// test waits on transfers, not QTest::qWaitFor or QTRY: they sleep 10 ms between turns of the
// loop, and every step of a transfer that comes meanwhile waits for the next turn.
inline bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] { done() ? loop.quit() : void(); });
    check.start(1);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    return done() || (loop.exec(), done());
}

// Columns of a data table, of these types and names: addColumns<int, bool>("count", "kept").
template <typename... Types, typename... Names>
void addColumns(Names... names)
{
    (QTest::addColumn<Types>(names), ...);
}

// The current row's values of these columns, as QFETCH reads them:
// const auto [count, kept] = TestSupport::fetch<int, bool>("count", "kept");
template <typename... Types, typename... Names>
std::tuple<Types...> fetch(Names... names)
{
    return {*static_cast<Types *>(QTest::qData(names, qMetaTypeId<Types>()))...};
}

// A data table of one bool column: a row named for false, and one for true.
inline void addBoolRows(const char *column, const char *whenFalse, const char *whenTrue)
{
    QTest::addColumn<bool>(column);
    QTest::newRow(whenFalse) << false;
    QTest::newRow(whenTrue) << true;
}

// The whole file; empty when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes the bytes (or adds them, opened with Append), then sets the modification time when
// one is given. False when any of it failed.
inline bool writeFile(const QString &path, const QByteArray &bytes, const QDateTime &modified = {},
                      QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile file(path);
    return file.open(mode) && file.write(bytes) == bytes.size() && file.flush()
           && (!modified.isValid()
               || file.setFileTime(modified, QFileDevice::FileModificationTime));
}

} // namespace TestSupport

// QTEST_GUILESS_MAIN / QTEST_MAIN with the user folders isolated first. Widget tests
// run on the offscreen platform unless the environment chose another.
#define TACHORA_TEST_MAIN_WITH(AppType, TestObject)                                                \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        TestSupport::isolateUserDirs();                                                            \
        AppType app(argc, argv);                                                                   \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestObject test;                                                                           \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }

// QTRY_VERIFY_WITH_TIMEOUT, waiting with TestSupport::waitFor().
#define TACHORA_TRY_VERIFY(expr, timeoutMs)                                                        \
    QVERIFY2(TestSupport::waitFor([&] { return bool(expr); }, timeoutMs), #expr)

#define TACHORA_TEST_CORE_MAIN(TestObject) TACHORA_TEST_MAIN_WITH(QCoreApplication, TestObject)

#define TACHORA_TEST_WIDGETS_MAIN(TestObject)                                                      \
    static const bool tachoraOffscreen = [] {                                                      \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                        \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                               \
        return true;                                                                               \
    }();                                                                                           \
    TACHORA_TEST_MAIN_WITH(QApplication, TestObject)
