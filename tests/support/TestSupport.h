#pragma once

#include <QtTest/QtTest>

namespace TestSupport {

// Points every XDG base directory at a fresh temporary folder that lives until the
// process ends, so that no test reads or writes the real user's files. Must run
// before anything asks QStandardPaths (or the shared preferences store) for a path.
void isolateUserDirs();

// The folder isolateUserDirs() made.
QString userDirsRoot();

// How a program ended: its exit status (-1 when it crashed or ran over a minute), and what
// it wrote.
struct ProcessRun
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};
// Runs a program to its end, with this on its standard input.
ProcessRun run(const QString &program, const QStringList &arguments, const QByteArray &input = {});

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

#define TACHORA_TEST_CORE_MAIN(TestObject) TACHORA_TEST_MAIN_WITH(QCoreApplication, TestObject)

#define TACHORA_TEST_WIDGETS_MAIN(TestObject)                                                      \
    static const bool tachoraOffscreen = [] {                                                      \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                        \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                               \
        return true;                                                                               \
    }();                                                                                           \
    TACHORA_TEST_MAIN_WITH(QApplication, TestObject)
