// SPDX-License-Identifier: GPL-3.0-or-later
#include "FailureLog.h"

void FailureLog::add(const std::string &error, Clock::time_point now)
{
    const std::lock_guard guard(m_lock);
    if (m_last && now - *m_last < std::chrono::seconds(1)) {
        ++m_unlogged;
        return;
    }
    m_out << "tachora-service: " << error;
    if (m_unlogged > 0)
        m_out << " (and " << m_unlogged << " failures not shown since the previous line)";
    m_out << std::endl;
    m_last = now;
    m_unlogged = 0;
}
