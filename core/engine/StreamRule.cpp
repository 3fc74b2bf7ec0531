#include "engine/StreamRule.h"

#include <algorithm>
#include <utility>

StreamRule::Action StreamRule::windowEnded(qint64 bytes, double seconds)
{
    if (m_done || !(seconds > 0))
        return Action::none;
    const double rate = double(qMax<qint64>(bytes, 0)) / seconds;
    const double previous = std::exchange(m_previous, rate);
    if (m_onTrial) {
        ++m_windowsOnTrial;
        // The first window holds the new connection's start, when the buffers on its way
        // fill at once: only the windows after it tell what it adds.
        if (m_windowsOnTrial > 1 && rate > m_beforeTrial * growth) {
            m_onTrial = false;
            // The new stream is still ramping up: the next trial waits for the level.
            return Action::none;
        }
        if (m_windowsOnTrial < settleWindows)
            return Action::none;
        m_onTrial = false;
        m_done = true;
        --m_streams;
        return Action::giveBack;
    }
    const bool levelled = previous > 0 && rate > 0 && rate <= previous * growth;
    if (!levelled)
        return Action::none;
    if (m_streams >= m_maxStreams) {
        m_done = true;
        return Action::none;
    }
    ++m_streams;
    m_onTrial = true;
    m_windowsOnTrial = 0;
    // A window that dipped is no easier base to beat.
    m_beforeTrial = std::max(rate, previous);
    return Action::add;
}
