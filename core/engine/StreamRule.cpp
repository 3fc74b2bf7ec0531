// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/StreamRule.h"

#include <algorithm>
#include <cmath>
#include <utility>

StreamRule::Action StreamRule::windowEnded(qint64 bytes, double seconds, bool windowLimited)
{
    if (m_done || !(seconds > 0))
        return Action::none;
    const double rate = double(qMax<qint64>(bytes, 0)) / seconds;
    const double previous = std::exchange(m_previous, rate);
    if (m_onTrial) {
        ++m_windowsOnTrial;
        // The first window holds the new connection's start, when the buffers on its way
        // fill at once: only the windows after it tell what it adds, on average, since a
        // connection's start on a full link costs losses, whose repair then delivers in
        // one window what the ones before held back.
        if (m_windowsOnTrial > 1)
            m_trialRateSum += rate;
        if (m_windowsOnTrial > 1
            && m_trialRateSum / (m_windowsOnTrial - 1) > m_beforeTrial * growth) {
            // While streams still add to the rate, the next one is tried at once rather than
            // after the level: each trial costs windows in which new connections ramp up.
            if (m_streams >= m_maxStreams) {
                m_onTrial = false;
                m_done = true;
                return Action::none;
            }
            return startTrial(rate);
        }
        if (m_windowsOnTrial < m_settle)
            return Action::none;
        m_onTrial = false;
        m_done = true;
        --m_streams;
        return Action::giveBack;
    }
    // A stream held by its window adds nothing more however long it runs: the aggregate's
    // level would show it a window later.
    const bool levelled = previous > 0 && rate > 0 && (rate <= previous * growth || windowLimited);
    if (!levelled || std::max(rate, previous) < leastTrialRate)
        return Action::none;
    if (m_streams >= m_maxStreams) {
        m_done = true;
        return Action::none;
    }
    // A window that dipped is no easier base to beat.
    return startTrial(std::max(rate, previous));
}

int StreamRule::settleWindowsFor(double roundTripSeconds)
{
    if (!(roundTripSeconds > 0))
        return settleWindows;
    const double windows = std::ceil(trialRoundTrips * roundTripSeconds / windowSeconds);
    return int(std::clamp(windows, double(settleWindows), 1000.0));
}

StreamRule::Action StreamRule::startTrial(double base)
{
    ++m_streams;
    m_onTrial = true;
    m_windowsOnTrial = 0;
    m_trialRateSum = 0;
    m_beforeTrial = base;
    return Action::add;
}
