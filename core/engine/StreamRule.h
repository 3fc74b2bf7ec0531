// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

// When a throughput phase opens another parallel stream, and when it gives one back.
//
// A phase starts with one stream, or with those an earlier phase found on the same path.
// At the end of every window (windowSeconds) the rule is given the bytes all streams moved
// in it:
// - once the aggregate rate stops growing (the last window is not more than `growth`
//   above the one before: the streams have finished their slow start), or as soon as a
//   stream is held by its connection's window, which can open no further (the owner
//   tells), one stream is added, on trial;
// - the trial pays off when, over its windows but the first (which holds the new
//   connection's start-up burst), within settleWindows windows (more on a long round trip), the
//   aggregate rate rises more than `growth` above the rate just before the trial, on average; then
//   the next stream goes on trial at once, judged against the rate of the window that showed it, up
//   to the bound (only the first trial waits for the level);
// - a trial that does not pay off is given back, and no stream is added any more;
// - below leastTrialRate nothing is tried: there even a small window carries one stream at
//   the link's rate, and a second connection starting in a slow link's short queue costs
//   more than it could add (its handshake, and the losses of its start, ~1.5 % at 1 Mbit/s).
// So a link that one stream fills keeps one stream, and a link where each stream is held
// back by its window, or by a limit per connection, gets as many as still add to the rate.
class StreamRule
{
public:
    enum class Action { none, add, giveBack };

    static constexpr double windowSeconds = 0.15;
    static constexpr double growth = 1.05;
    static constexpr int settleWindows = 4;
    // A trial's connection opens its window from ten packets, doubling each round trip, in a
    // queue the others keep full (where a cubic sender leaves its slow start early and then
    // grows a few packets a round trip): on a long round trip its share shows only this many
    // round trips on. At 80 ms and 1 Gbit/s a download's trial judged over 0.6 s was given
    // back, and one connection's window held the phase to 270-370 Mbit/s where four streams
    // carry 890.
    static constexpr double trialRoundTrips = 14;
    // The windows a trial is judged over on a path of this round trip: settleWindows at least.
    static int settleWindowsFor(double roundTripSeconds);
    // Bytes per second (12 Mbit/s): 256 KB of window in flight carry it at a 170 ms RTT.
    static constexpr double leastTrialRate = 1.5e6;

    explicit StreamRule(int maxStreams, int firstStreams = 1, int settle = settleWindows)
        : m_maxStreams(qMax(1, maxStreams))
        , m_streams(qBound(1, firstStreams, m_maxStreams))
        , m_settle(qMax(settleWindows, settle))
    {}

    // The end of a window of this many seconds in which the streams moved this many bytes;
    // windowLimited: a stream is held by its connection's window, which can open no further.
    Action windowEnded(qint64 bytes, double seconds, bool windowLimited = false);

    // The streams in use: the first, those that paid off and one on trial.
    int streams() const { return m_streams; }
    // The streams kept: those in use but one on trial.
    int kept() const { return m_streams - (m_onTrial ? 1 : 0); }
    bool onTrial() const { return m_onTrial; }
    // Waiting for the level, or for a stream held by its window, to start the first trial.
    bool waitingForLevel() const { return !m_onTrial && !m_done; }

private:
    int m_maxStreams;
    int m_streams;
    int m_settle;
    bool m_onTrial = false;
    bool m_done = false;
    int m_windowsOnTrial = 0;
    // The rates of the trial's windows after its first, summed.
    double m_trialRateSum = 0;
    double m_previous = 0;
    double m_beforeTrial = 0;

    Action startTrial(double base);
};
