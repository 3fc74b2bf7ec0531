// Installs the crash reporter, then ends the way it is told:
//   tachora_crash_helper <data folder> <SIGABRT|SIGSEGV|SIGILL|SIGBUS|SIGFPE|SIGTRAP|
//                                       overflow|exception|exception-int>
// SIGABRT is abort(), SIGSEGV a write to a page that forbids it, the other signals are
// raised; overflow runs out of stack.

#include "diagnostics/CrashReporter.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/resource.h>

volatile bool keepRecursing = true;

// Neither static nor inlined: the record must name them.
[[gnu::noinline]] int crashHelperRecurse(int depth)
{
    volatile char frame[256];
    frame[0] = char(depth);
    if (!keepRecursing)
        return 0;
    return crashHelperRecurse(depth + 1) + frame[0];
}

// The record names a function only when the crash happens in its main body, not in a
// part the compiler moved aside as unlikely: hence one function per way to end.
// Called through a pointer and followed by a store, so that the call is neither the
// function's last instruction nor a jump.
void (*volatile abortNow)() = std::abort;

[[gnu::noinline]] void crashHelperAbort()
{
    abortNow();
    keepRecursing = false;
}

[[gnu::noinline]] void crashHelperThrow(bool withText)
{
    if (withText)
        throw std::runtime_error("disk on fire");
    throw 42;
}

[[gnu::noinline]] void crashHelperFault(const QByteArray &how)
{
    const struct
    {
        const char *name;
        int number;
    } raised[] = {{"SIGILL", SIGILL}, {"SIGBUS", SIGBUS}, {"SIGFPE", SIGFPE}, {"SIGTRAP", SIGTRAP}};
    for (const auto &[name, number] : raised) {
        if (how == name)
            std::raise(number);
    }
    if (how == "SIGSEGV") {
        void *page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        *static_cast<volatile int *>(page) = 1;
    }
}

int main(int argc, char **argv)
{
    // Crashing on purpose leaves no core file behind.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    CrashReporter::setDataFolder(QString::fromLocal8Bit(argv[1]));
    CrashReporter::setSystemReportFolder(QString());
    CrashReporter::install();
    const QByteArray how = argv[2];
    if (how == "SIGABRT")
        crashHelperAbort();
    else if (how == "overflow")
        crashHelperRecurse(0);
    else if (how.startsWith("exception"))
        crashHelperThrow(how == "exception");
    else
        crashHelperFault(how);
    return 1;
}
