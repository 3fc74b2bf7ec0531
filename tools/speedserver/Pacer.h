// SPDX-License-Identifier: GPL-3.0-or-later
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
// it. While transfers run, one that was held up (its peer did not read) catches up by up
// to catchUp; when none runs, the link idles and the schedule starts again from the next
// transfer, so an idle spell builds up no burst and a gap between requests stays a gap.
class LinkPacer
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds catchUp{100};

    explicit LinkPacer(std::uint64_t bytesPerSecond)
        : m_rate(bytesPerSecond)
    {}

    std::uint64_t rate() const { return m_rate; }
    size_t pieceSize(std::uint64_t most) const { return pacedPieceSize(m_rate, most); }

    // A transfer on the link, for as long as it lives.
    class Use
    {
    public:
        explicit Use(LinkPacer &link)
            : m_link(link)
        {
            std::lock_guard lock(m_link.m_mutex);
            if (m_link.m_active++ == 0)
                m_link.m_next = std::max(m_link.m_next, Clock::now());
        }
        ~Use()
        {
            std::lock_guard lock(m_link.m_mutex);
            --m_link.m_active;
        }
        Use(const Use &) = delete;
        Use &operator=(const Use &) = delete;

    private:
        LinkPacer &m_link;
    };

    void moved(std::uint64_t bytes)
    {
        if (!m_rate)
            return;
        Clock::time_point wake;
        {
            std::lock_guard lock(m_mutex);
            m_next = std::max(m_next, Clock::now() - Clock::duration(catchUp))
                     + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(double(bytes) / double(m_rate)));
            wake = m_next;
        }
        std::this_thread::sleep_until(wake);
    }

private:
    std::uint64_t m_rate;
    std::mutex m_mutex;
    int m_active = 0;
    Clock::time_point m_next{};
};

} // namespace speedserver
