// SPDX-License-Identifier: GPL-3.0-or-later
// Installs the crash reporter, then ends as told: tachora_crash_helper <data folder> <how>,
// where how is
// - a signal number (6 calls abort(), 11 writes where it may not, the others are raised);
// - "overflow" (runs out of stack), "thread-overflow" (the same on a thread of its own);
// - "exception-long" (a std::runtime_error with a text longer than a record's message) or
//   "exception-int" (a thrown int);
// - "fatal" (qFatal with a text);
// - "threads": two threads write where they may not at the same instant;
// - "second-fault": a thread writes where it may not, a second one raises SIGFPE while the
//   crash handler syncs the record;
// - "sent-signal": the main thread writes where it may not, a second thread sends the process
//   SIGBUS while the crash handler syncs the record.
// With a third argument N, the disk syncs in N ms ("hang": never).

#include "diagnostics/CrashReporter.h"
#include "diagnostics/ThreadSignalStack.h"

#include <QCoreApplication>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

volatile bool keepGoing = true;
void (*volatile abortNow)() = std::abort;
void (*volatile fatalNow)(const char *) = [](const char *what) {
    qFatal("Base corrompue : %s\nligne 2", what);
};
std::atomic<long> syncMilliseconds{0};
// Set once the crash handler has begun to sync its record.
std::atomic<bool> syncing{false};

// A sanitizer build leaves these signals to the crash reporter.
extern "C" const char *__asan_default_options()
{
    return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0";
}

// A stand-in for the C library's, slow as a busy disk's when told: the crash handler's
// call binds to it.
extern "C" int fsync(int file)
{
    syncing = true;
    const long milliseconds = syncMilliseconds.load();
    if (milliseconds < 0) {
        // What the crash handler's watchdog does is at stake, not its wait: one armed for 3 s
        // at most goes off at once instead; none, or a longer one, leaves the process hung.
        if (const unsigned armed = ::alarm(0); armed > 0 && armed <= 3)
            ::ualarm(50 * 1000, 0);
        while (true)
            ::pause();
    }
    const timespec delay{milliseconds / 1000, (milliseconds % 1000) * 1000000};
    ::nanosleep(&delay, nullptr);
    return int(::syscall(SYS_fsync, file));
}

namespace {

void waitForTheSync()
{
    while (!syncing.load())
        ;
}

} // namespace

// Exported and not inlined, so that the record names them; each call is followed by more
// code, so that its return address still lies inside the function.
[[gnu::noinline]] int crashHelperRecurse(int depth)
{
    volatile char frame[256];
    frame[0] = char(depth);
    return keepGoing ? crashHelperRecurse(depth + 1) + frame[0] : 0;
}

[[gnu::noinline]] void crashHelperFault()
{
    *static_cast<volatile int *>(
        ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) = 1;
    keepGoing = false;
}

[[gnu::noinline]] void crashHelperThrow(const QByteArray &how)
{
    if (how == "exception-long")
        throw std::runtime_error(QString(5000, QChar(0x20AC)).toStdString());
    throw 42;
}

[[gnu::noinline]] void crashHelperFatal()
{
    fatalNow("réglages");
    keepGoing = false;
}

[[gnu::noinline]] void crashHelperSignal(int number)
{
    if (number == SIGABRT)
        abortNow();
    else if (number == SIGSEGV)
        crashHelperFault();
    else
        std::raise(number);
    keepGoing = false;
}

// Two threads fault: at the same instant, or the second with SIGFPE while the first one's
// record syncs.
[[gnu::noinline]] void crashHelperThreads(bool atOnce)
{
    std::atomic<bool> go{false};
    const auto fault = [&go](bool second) {
        while (!go.load())
            ;
        if (second)
            waitForTheSync(), std::raise(SIGFPE);
        else
            crashHelperFault();
    };
    std::thread first(fault, false), second(fault, !atOnce);
    go = true;
    first.join();
    second.join();
}

int main(int argc, char **argv)
{
    const rlimit noCoreFile{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCoreFile);
    QCoreApplication app(argc, argv);
    if (argc != 3 && argc != 4)
        return 2;
    CrashReporter::setDataFolder(QString::fromLocal8Bit(argv[1]));
    CrashReporter::setSystemReportFolder(QString());
    CrashReporter::install();
    // Only the crash handler's sync counts.
    syncing = false;
    if (argc == 4)
        syncMilliseconds = qstrcmp(argv[3], "hang") == 0 ? -1 : std::atol(argv[3]);
    const QByteArray how = argv[2];
    if (how == "overflow")
        crashHelperRecurse(0);
    else if (how == "thread-overflow")
        startThread([] { crashHelperRecurse(0); }).join();
    else if (how.startsWith("exception"))
        crashHelperThrow(how);
    else if (how == "fatal")
        crashHelperFatal();
    else if (how == "threads")
        crashHelperThreads(true);
    else if (how == "second-fault")
        crashHelperThreads(false);
    else if (how == "sent-signal") {
        std::thread([] {
            waitForTheSync();
            ::kill(::getpid(), SIGBUS);
        }).detach();
        crashHelperSignal(SIGSEGV);
    } else
        crashHelperSignal(how.toInt());
    return 1;
}
