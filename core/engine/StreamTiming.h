// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QtGlobal>

// When a stream of a throughput phase sends its next request, and what size it asks for:
// ThroughputStreams' timing, as functions of the times and byte counts it has seen, so
// that each rule can be checked on given numbers rather than on a live link's.
namespace StreamTiming {

// A fresh connection's first window: ten packets.
inline constexpr double freshWindowBytes = 14600;

// The round trips a fresh connection's window takes to double up to this many bytes.
double roundTripsToOpen(double windowBytes);

// The size of a download stream's next request, once it has sent `sent` requests: its
// next step (after the last, the last again), or more. A step the stream would finish
// well before the deadline is skipped for twice what it carries at `bytesPerSecond` in the
// `secondsLeft`, up to the largest step: the next request goes on a connection of its own,
// whose window opens from ten packets, a costly start where a round trip is long. A request
// still under way at the deadline is cut, however large.
qint64 nextSize(const QList<qint64> &sizes, int sent, double bytesPerSecond, double secondsLeft);

// How long an upload's block waited before its body flowed, in seconds. Its "first data"
// is an eighth of the block acknowledged, `toFirstData` after sending it: on a slow link
// that is mostly the eighth's own time on the link, and taken for the wait it would send
// the next block a second early, a fresh connection starting into a slow link's short
// queue beside the current one. What is left once that time is taken off, at the rate the
// block has moved (`moved` bytes in `since` seconds), is the wait; never less than the wait
// for its first byte acknowledged (`toFirstByte`).
double uploadLead(qint64 blockBytes, double toFirstData, double toFirstByte, qint64 moved,
                  double since);

// Whether a stream sends its next request now: what its requests in flight still have to
// move (`remainingBytes`, at `bytesPerSecond`) ends within the time the next answer takes to
// start (about the latest `lead`; twice that, and two checks, leave a margin for a fresh
// connection's handshake). A download's next request also opens its window from ten
// packets, doubling each round trip, while the current ones still fill the link.
bool nextIsDue(double remainingBytes, double bytesPerSecond, double lead, bool upload,
               double checkSeconds);

// Whether a download stream's next request, of `nextBytes` at `bytesPerSecond`, waits for
// the current ones to end and takes the connection they leave, window open, rather than
// going out early on a fresh one. A fresh connection shares the link with the ending one
// while its window opens; once that one ends, its sender takes several of its probing
// cycles to fill the link alone (BBR's: a quarter more every eight round trips; cubic's
// climb after leaving slow start early in the queue the other kept full): at 1 Gbit/s and
// 20 ms, 0.2-0.6 s below the link after each 95 MB request, 5-7 % of the phase. Waiting
// costs the time the next answer takes to start (`lead`): worth it for a request that
// lasts reuseLeads of them or more, at most 4 % of it.
inline constexpr double reuseLeads = 25;
bool waitsForConnection(double nextBytes, double bytesPerSecond, double lead);

// A download stream's request has ended while its next, on a fresh connection already past
// its window's opening, carried under half the ended one's rate. A fresh connection that
// shared the link's queue until then takes the link over within a round trip or two; one that
// left slow start early on that queue's delay (cubic's HyStart does) grows by a packet a round
// trip and would leave the link half idle for the rest of the phase. So the stream's requests
// are given twice its `lead`, at least `leastWait`, to carry half of what the stream carried
// before the end (`streamRate`, bytes per second), on average since the end (`bytesSinceEnd`
// in `sinceEnd` seconds); failing that, the connection the ended one freed, its window open,
// carries one more request. No more than 0.2 s: an idle connection's window starts over after
// a retransmission time-out, never less than that.
enum class Lagging { wait, caughtUp, refill };
Lagging lagging(double streamRate, double bytesSinceEnd, double sinceEnd, double lead,
                double leastWait);

} // namespace StreamTiming
