// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

#include <vector>

// The rate of a throughput phase once its aggregate has levelled. On a long path each
// connection's window takes seconds to open: bytes since the start over the whole phase then
// reads TCP's start, not the link. The phase's byte count, sampled as it runs, tells where the
// rate stopped climbing: the reading is the average from the earliest moment after which the
// rest of the phase is level (its two halves within a tolerance of each other) and long enough
// to stand for the phase. A ramp before it is left out, and so are the ramp's last ticks that
// such a part may still hold (climbing, below its rate, none reached before); a burst at the start
// (a token bucket, a server's buffer) is not level with what follows and is left out as well; a
// stall and the lump that makes up for it both fall inside the level part, so neither inflates it:
// a level part never begins inside a burst's end or a lump, nor after a dip that followed a
// burst (what the bucket banked then, it spends above the line later), and one that would begin
// inside a dip begins where the dip did, after a burst from the phase's start (a token bucket's
// refill comes back slowly) or where the dip was a stall that the count made up for after. A stall
// at the very end has no lump after it within the phase (a sender that stops to measure its round
// trip again, a loss recovered after the deadline): its halves would balance a stretch of ramp
// against it, so the phase is read up to where the stall began; a sent count's dip near the
// end, which the climb balanced, is left out the same way. A received count that stalls
// and lumps throughout has its halves compared once more, split where it had caught up. A
// phase that never levels reads its whole average, but for a burst at its start.
class LevelledRate
{
public:
    struct Tuning
    {
        // The level part lasts at least this long, and at least this share of the phase.
        double minimumSeconds = 1.0;
        double minimumShare = 0.3;
        // How far the rates of the level part's two halves may differ, as a share of the
        // larger one. A noisy link whose halves differ more reads its whole average.
        double tolerance = 0.05;
        // A stall at the end: a last stretch of at most this share of the phase carried under
        // this share of what the same length before it did, and the count moved slower than
        // that for this long at least.
        double shortestStall = 0.2;
        double longestStallShare = 0.15;
        double stallShare = 0.5;
        // How far each end of a received count's level part may move to where the count had
        // caught up (caughtUp()): a little longer than a far sender's cycle of losses (a BBR
        // sender's eight round trips, 1.2 s at 150 ms), or an end whose last second was all
        // held back finds nothing caught up (91.9 read on a 96.5 Mbit/s line). Not much longer:
        // a start found partly held back and an end one more cycle away read above the line.
        double catchUpSeconds = 1.25;
        // The same for the end, where nothing after the deadline makes up for what was held back:
        // a repair lost in turn holds the count back a cycle more (at 150 ms, a count caught
        // up 1.5 s before its end, then behind by 3 MB and still catching up at the deadline,
        // read 92.0 on a 96.5 Mbit/s line, 96.5 from its end there). Not after a burst at the
        // phase's start: that part's start may hold bytes the bucket's losses held back, which
        // an end caught up further back counts without their time (97.4 read as 98.1).
        double catchUpEndSeconds = 1.5;
    };

    struct Reading
    {
        double bytesPerSecond = 0;
        // Where the part read begins, in seconds since the phase started: the level part's
        // start, or a first burst's end in a phase that never levelled; 0 for the whole.
        double fromSeconds = 0;
        bool levelled = false;
    };

    LevelledRate();
    explicit LevelledRate(Tuning tuning);

    // The phase had moved `bytes` after `seconds`; samples come in order of time.
    void add(double seconds, qint64 bytes);
    void clear() { m_samples.clear(); }
    // The reading of a phase of `span` seconds that moved `bytes` in all; `received`: the
    // count is of bytes received, which a lost packet holds back until it is repaired.
    Reading reading(double span, qint64 bytes, bool received = false) const;

private:
    struct Sample
    {
        double seconds;
        double bytes;
    };

    // The bytes moved by `seconds`, between the samples around it.
    static double bytesAt(const std::vector<Sample> &samples, double seconds);
    // Where a stall that lasts to `span` began; `span` when the phase ends at its pace.
    double stallStart(const std::vector<Sample> &samples, double span) const;
    // The rate of the tick that ends with samples[k].
    static double tickRate(const std::vector<Sample> &samples, size_t k);
    // Whether samples[k] falls inside a lump: the count moved at twice `rate` or more on
    // both sides of it.
    bool insideLump(const std::vector<Sample> &samples, size_t k, double end, double rate) const;
    // Where the dip began that samples[k] falls inside, at the bottom of or in the lump just
    // after (the lump going on after it), when the count ran at `rate` or faster before it,
    // and followed a burst or was made up for after; k otherwise.
    size_t dipStart(const std::vector<Sample> &samples, size_t k, double end, double rate) const;
    // Where the climb of the windows' opening ended, when the level part would begin at
    // samples[k] (at `rate`) with ticks still climbing to it: level within the tolerance,
    // such a part still holds them, and reads low by up to half of them.
    size_t rampEnd(const std::vector<Sample> &samples, size_t k, double end, double shortest,
                   double rate) const;
    // How far past a ramp's end the count must not run faster than the rest of the part by
    // this share, for the ticks before to be a climb and not a stall.
    static constexpr double rampCheckSeconds = 0.4;
    static constexpr double rampLumpShare = 1.25;
    // Where a burst at the phase's start ended; 0 without one.
    double burstEnd(const std::vector<Sample> &samples) const;
    // Once a token bucket's burst has emptied it, a tick under the line's pace lets it bank
    // what the line did not carry, and later ticks spend that above the line: a part begun
    // after such a tick (under 95 % of the part's `rate`) reads both the spending and the
    // line, and not the dip that paid for it (104.0 read on a 96.5 Mbit/s line, an upload
    // whose dips and lumps began at 2.5 s and its part at 3.3 s). Such a part begins where
    // the burst ended instead, the bucket then empty; samples[k] otherwise.
    size_t bankedFrom(const std::vector<Sample> &samples, size_t k, double rate) const;
    // A part that begins at a stall's bottom reads the lump after it without the stall, and
    // its own rate, lifted by that lump, makes the line's ticks before it look like a dip never
    // made up for (at 150 ms, 102.9 and 105.0 read on a 96.5 Mbit/s line). So does one begun
    // at a lump's top with a stall within catchUpSeconds after it: the count there still waits
    // for repairs that come later in the part (103.3 and 100.3). It begins instead,
    // within catchUpSeconds, at the last sample before the stall that ended a tick at the pace
    // of the rate read from there (to the sample within catchUpSeconds of the end where that
    // rate is highest: the end may be held back too), when the count never runs ahead of that
    // rate by more than heldBackShare of what it carries (a start held back itself), and wins
    // back half of what it fell behind that tick's pace at the stall's bottom within twice
    // catchUpSeconds (a lost repair's bytes come a loss cycle later): a gap nothing makes up
    // for is time the link lost (at 300 Mbit/s, a second at a third of the rate: 238.2 read
    // with it, 276.0 without).
    Reading beforeStall(const std::vector<Sample> &samples, Reading part, double end) const;
    static constexpr double heldBackShare = 0.003;
    // A received count stalls while a lost packet is repaired, then delivers what waited in
    // one lump: the line carried on meanwhile. A level part that begins at a stall's foot reads
    // the lump without it, one that ends in a stall leaves out what it held back (at 150 ms,
    // 101.5 and 91.3 on a 96.5 Mbit/s line). Each end moves, within catchUpSeconds, to the tick
    // where the count was furthest ahead of the part's rate, where nothing was held back, and
    // the part is read between the two (the end within catchUpEndSeconds); one begun at a stall's
    // bottom first moves back before it.
    Reading caughtUp(const std::vector<Sample> &samples, Reading part, double end,
                     double shortest) const;
    // A received count's losses may stall it and lump it again on and off for the whole
    // phase, the line running level all along (at 150 ms, 82.6 read on a 96.5 Mbit/s line
    // that carried 96 from its second second on): no part's halves then come within the
    // tolerance where a stall falls just before the middle and its lump just after, and the
    // phase would read whole, TCP's start included. Before that, the halves are compared once
    // more, split where the count had caught up: within catchUpSeconds of the part's middle,
    // and a quarter of its length, the sample furthest ahead of the part's rate. A count that
    // climbs to its end is behind its rate everywhere, and its halves stay apart wherever it
    // is split.
    double caughtUpMiddle(const std::vector<Sample> &samples, size_t k, double end) const;
    // The level part of the count up to `end`, of at least `shortest` seconds; its halves
    // split in the middle, or where the count had caught up.
    Reading levelPart(const std::vector<Sample> &samples, double end, double shortest,
                      bool splitCaughtUp = false) const;
    // A sent count's level part whose climb balanced a dip near its end: with the climb's
    // last ticks left out (rampEnd()), its second half runs slower than its first by more
    // than the tolerance. Nothing made up for that dip, time the link lost: the part is read
    // up to the latest end that leaves it level, of at least `shortest` seconds (at 150 ms, an
    // upload at the line from its first second to 3.4 s, then at 55-80 % of it for 0.8 s and
    // at the line again, read 90.5 on a 96.5 Mbit/s line; 94.9 so). Not after a burst: a
    // bucket's refill, spent above the line, may fill the first half.
    Reading levelBeforeDip(const std::vector<Sample> &samples, Reading part, double end,
                           double shortest) const;
    Reading levelled(const std::vector<Sample> &samples, double span, bool received) const;
    // A received count never runs ahead of the link: where it had caught up it lies on the
    // line's count, and where bytes were held back, below it. So the count's upper hull, from
    // the ramp's end (the first sample whose next minimumSeconds ran at the pace of `part`'s
    // rate), passes through the points where it had caught up, and the hull's edge over the
    // middle of that stretch is a rate the count kept between two of them. A level part that
    // reads above it began where the count was held back and ended where it had caught up,
    // counting bytes from before its start: where connections hold bytes back and make up for
    // them in turn for seconds (at 10 Mbit/s and 100 ms, 10 downloads of 56 read 2-19 % over
    // the line, from parts begun 2 s after the count's last point on it), the reading is that
    // edge. Only where the count lumped under the edge (a tick at hullLumpShare times its
    // rate or more): a count that slowed under it and lumped less lost that time (a cubic
    // sender's backoff at 150 ms, its ticks at 1.57 times the edge at most, read 91.9 through
    // it where the part after it read 94.3 on a 96.5 Mbit/s line).
    Reading keptUnderHull(const std::vector<Sample> &samples, Reading part) const;
    // Held-back bytes come in lumps that a tick's bounds may split: at 10 Mbit/s and 100 ms,
    // two downloads of 20 whose ticks reached 1.94 and 1.95 times the edge read 3.3 and 5.8 %
    // over the line where a lump had to reach twice it.
    static constexpr double hullLumpShare = 1.75;

    Tuning m_tuning;
    std::vector<Sample> m_samples;
};
