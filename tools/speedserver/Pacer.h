#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace speedserver {

// Holds a transfer to a rate by sleeping once each piece has moved: a whole transfer
// takes as long as it would at the rate, and it is never more than a piece ahead of it.
class Pacer
{
public:
    explicit Pacer(std::uint64_t bytesPerSecond)
        : m_rate(bytesPerSecond)
    {}

    // The size of the next piece, at most `most`.
    size_t pieceSize(std::uint64_t most) const
    {
        // About 100 pieces a second keep a limited rate smooth.
        return size_t(m_rate ? std::clamp<std::uint64_t>(m_rate / 100, 1, most) : most);
    }

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

} // namespace speedserver
