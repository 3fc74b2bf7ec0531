// Installs the crash reporter, then ends as told: tachora_crash_helper <data folder> <how>,
// where how is a signal number (6 calls abort(), 11 writes where it may not, the others are
// raised), "overflow" (runs out of stack), "exception" or "exception-int".

#include "diagnostics/CrashReporter.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/resource.h>

volatile bool keepGoing = true;
void (*volatile abortNow)() = std::abort;

// Exported and not inlined, so that the record names them; each call is followed by more
// code, so that its return address still lies inside the function.
[[gnu::noinline]] int crashHelperRecurse(int depth)
{
    volatile char frame[256];
    frame[0] = char(depth);
    return keepGoing ? crashHelperRecurse(depth + 1) + frame[0] : 0;
}

[[gnu::noinline]] void crashHelperThrow(bool withText)
{
    if (withText)
        throw std::runtime_error("disk on fire");
    throw 42;
}

[[gnu::noinline]] void crashHelperSignal(int number)
{
    if (number == SIGABRT)
        abortNow();
    else if (number == SIGSEGV)
        *static_cast<volatile int *>(
            ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) = 1;
    else
        std::raise(number);
    keepGoing = false;
}

int main(int argc, char **argv)
{
    const rlimit noCoreFile{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCoreFile);
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    CrashReporter::setDataFolder(QString::fromLocal8Bit(argv[1]));
    CrashReporter::setSystemReportFolder(QString());
    CrashReporter::install();
    const QByteArray how = argv[2];
    if (how == "overflow")
        crashHelperRecurse(0);
    else if (how.startsWith("exception"))
        crashHelperThrow(how == "exception");
    else
        crashHelperSignal(how.toInt());
    return 1;
}
