// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <thread>
#include <utility>

// A signal stack of the calling thread's own for as long as the object lives, so that the
// fatal signal handlers still run, and leave their record, once the thread has used up
// its own stack. Each thread needs one: the main thread gets it from
// FatalHandlers::install(), every other thread the program starts makes one first, which
// startThread() does. Does nothing on a thread that already has one.
class ThreadSignalStack
{
public:
    ThreadSignalStack();
    ~ThreadSignalStack();
    ThreadSignalStack(const ThreadSignalStack &) = delete;
    ThreadSignalStack &operator=(const ThreadSignalStack &) = delete;

    // Large enough for the handlers: they format a message of a few KiB and walk the stack.
    static constexpr std::size_t bytes = 64 * 1024;

private:
    void *m_memory = nullptr;
    std::size_t m_mapped = 0;
};

// The way to start a thread: std::thread, with a signal stack for its whole run.
template <typename Function>
std::thread startThread(Function body)
{
    return std::thread([body = std::move(body)]() mutable {
        const ThreadSignalStack signalStack;
        body();
    });
}
