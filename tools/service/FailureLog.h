// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

// The service's failures on its log, at most one line a second with the count of those
// left out since: a database out of reach must not fill the disk at the rate of requests.
// Safe from any thread.
class FailureLog
{
public:
    using Clock = std::chrono::steady_clock;

    explicit FailureLog(std::ostream &out)
        : m_out(out)
    {}

    void add(const std::string &error, Clock::time_point now = Clock::now());

private:
    std::ostream &m_out;
    std::mutex m_lock;
    std::optional<Clock::time_point> m_last;
    long m_unlogged = 0;
};
