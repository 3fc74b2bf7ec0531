#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace speedserver {

// About 100 pieces a second keep a limited rate smooth.
inline size_t pacedPieceSize(std::uint64_t bytesPerSecond, std::uint64_t most)
{
    return size_t(bytesPerSecond ? std::clamp<std::uint64_t>(bytesPerSecond / 100, 1, most) : most);
}

// Holds a transfer to a rate by sleeping once each piece has moved: a whole transfer
// takes as long as it would at the rate, and it is never more than a piece ahead of it.
class Pacer
{
public:
    explicit Pacer(std::uint64_t bytesPerSecond)
        : m_rate(bytesPerSecond)
    {}

    // The size of the next piece, at most `most`.
    size_t pieceSize(std::uint64_t most) const { return pacedPieceSize(m_rate, most); }

    void moved(std::uint64_t bytes)
    {
        if (!m_rate)
            return;
        m_bytes += bytes;
        std::this_thread::sleep_until(
            m_start + std::chrono::duration<double>(double(m_bytes) / double(m_rate)));
    }

private:
    std::uint64_t m_rate;
    std::uint64_t m_bytes = 0;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

// One rate shared by every connection of one direction, as a link shares its capacity:
// each piece moved takes the next slot of the link's schedule, whichever connection moved
// it. A connection that woke up late catches up by at most one piece's time; after an idle
// spell the schedule starts again from now, so no burst builds up.
class LinkPacer
{
public:
    explicit LinkPacer(std::uint64_t bytesPerSecond)
        : m_rate(bytesPerSecond)
    {}

    std::uint64_t rate() const { return m_rate; }
    size_t pieceSize(std::uint64_t most) const { return pacedPieceSize(m_rate, most); }

    void moved(std::uint64_t bytes)
    {
        if (!m_rate)
            return;
        using Clock = std::chrono::steady_clock;
        const auto slack = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(double(pieceSize(UINT64_MAX)) / double(m_rate)));
        Clock::time_point wake;
        {
            std::lock_guard lock(m_mutex);
            m_next = std::max(m_next, Clock::now() - slack)
                     + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(double(bytes) / double(m_rate)));
            wake = m_next;
        }
        std::this_thread::sleep_until(wake);
    }

private:
    std::uint64_t m_rate;
    std::mutex m_mutex;
    std::chrono::steady_clock::time_point m_next{};
};

} // namespace speedserver
