// SPDX-License-Identifier: GPL-3.0-or-later
#include "diagnostics/ThreadSignalStack.h"

#include <csignal>
#include <sys/mman.h>
#include <unistd.h>

ThreadSignalStack::ThreadSignalStack()
{
    stack_t current{};
    if (::sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0)
        return;
    // A page below the stack that nothing may touch: a handler that overruns it faults
    // instead of writing over whatever lies there.
    const std::size_t guard = std::size_t(::sysconf(_SC_PAGESIZE));
    void *memory = ::mmap(nullptr, guard + bytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (memory == MAP_FAILED)
        return;
    stack_t stack{};
    stack.ss_sp = static_cast<char *>(memory) + guard;
    stack.ss_size = bytes;
    if (::mprotect(memory, guard, PROT_NONE) != 0 || ::sigaltstack(&stack, nullptr) != 0) {
        ::munmap(memory, guard + bytes);
        return;
    }
    m_memory = memory;
    m_mapped = guard + bytes;
}

ThreadSignalStack::~ThreadSignalStack()
{
    if (!m_memory)
        return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    ::sigaltstack(&off, nullptr);
    ::munmap(m_memory, m_mapped);
}
