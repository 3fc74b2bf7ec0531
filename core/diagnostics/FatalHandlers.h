#pragma once

#include <QString>

// The last moments of a process: handlers for the fatal signals and for an uncaught
// exception that leave one record, message + "\n---\n" + stack, in the pending file.
//
// Everything a signal handler needs is prepared here; the handler itself only calls
// backtrace, backtrace_symbols_fd, open, write, lseek, ftruncate, fsync, close, rename,
// signal and raise, all of them async-signal-safe once backtrace has been called once.
// No file is made before a crash.
namespace FatalHandlers {

// Registers the handlers for SIGABRT, SIGSEGV, SIGILL, SIGBUS, SIGFPE and SIGTRAP and
// for std::terminate. Only the first call of a process does anything.
void install(const QString &pendingFilePath);

} // namespace FatalHandlers
