// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The last moments of a process: handlers for the fatal signals and for an uncaught
// exception that leave one record in the pending file:
//   message + "\n---\n" + stack + "\n---\n" + "end"
// The message is one line; a qFatal() gives its text, a signal "Signal N", an uncaught
// exception its type and text. The last piece says that the record is whole: a partial
// file that has it holds a record whose move into place was cut short.
//
// Everything a signal handler needs is prepared here; the handlers themselves only call
// functions that are async-signal-safe (backtrace once it has been called once).
// No file is made before a crash.
//
// The first handler to start writes the record, and the process ends by its signal; a
// thread that faults meanwhile waits for the record (2 s at most), and a watchdog ends
// the process after 3 s whatever the handler is stuck on.
namespace FatalHandlers {

inline constexpr char recordSeparator[] = "\n---\n";
inline constexpr char recordEnd[] = "end";

// Registers the handlers for SIGABRT, SIGSEGV, SIGILL, SIGBUS, SIGFPE and SIGTRAP, for
// std::terminate and for Qt's fatal messages, and gives the calling thread a signal stack.
// Only the first call of a process does anything.
void install(const QString &pendingFilePath);

// Whether a handler of this process has started writing a record.
bool recordStarted();

} // namespace FatalHandlers
