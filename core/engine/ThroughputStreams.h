// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/ServiceRules.h"
#include "engine/StreamRule.h"
#include "platform/HttpRequest.h"

#include <QList>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class HttpSession;
class HttpTask;

// The requests of one throughput phase, on parallel streams. A stream is a series of
// requests. A short one is sent while the current ones still move their last bytes (on
// another connection), early enough that its answer starts when they end, so the link never
// waits a round trip between two requests; a download request that lasts many round trips
// waits for one of them to end and takes the connection it leaves, its window open
// (StreamTiming::waitsForConnection()). How many streams run is StreamRule's choice.
//
// A request that moved something counts, whatever way it ended. A stream whose request
// moved nothing stops; when it had moved something before, a new stream takes its place,
// so one refused or dead connection costs no parallelism, while a server that answers
// nothing ends the phase. A download refused for its size is no such end: its stream goes
// on at once with a size the server served, and no later request asks for more
// (DownloadSizeLimit). Everything runs on the owner's event loop.
class ThroughputStreams : public QObject
{
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;

    struct Setup
    {
        bool upload = false;
        int maxStreams = 1;
        // The streams the phase opens with, before any trial.
        int firstStreams = 1;
        // The windows a trial stream is judged over (StreamRule::settleWindowsFor()).
        int trialWindows = StreamRule::settleWindows;
        // Each of those sends its first two requests at once: the link is known to be fast.
        bool pairFirstRequests = false;
        // An upload's second paired block, as a share of the first: under 1, the two end apart.
        double pairedBlockShare = 1;
        // Uploads: once the phase has run pacingLimitAfterSeconds and its connections have
        // sent pacingLimitLosses segments again since, a sender that paces by its model of the
        // path (BBR) paces no connection above pacingLimitShare of a stream's part of the best
        // window's rate.
        bool limitPacing = false;
        // Downloads: the sizes of each stream's successive requests; after the last, the
        // last again, as long as the phase has asked for fewer than byteLimit in all. A
        // stream skips a size it would move well before the deadline (nextSize()).
        QList<qint64> sizes;
        qint64 byteLimit = 0;
        Clock::time_point deadline;
        // The request for a body of this size; an upload's whole block for 0, or that many of
        // its first bytes.
        std::function<HttpRequest(qint64 size)> request;
    };

    ThroughputStreams(HttpSession &session, Setup setup, QObject *parent = nullptr);
    ~ThroughputStreams() override;

    // Sends the first stream's first request.
    void start();
    // Cuts every request in flight (at the deadline, or on cancel) and sends no more.
    void stop();

    // Nothing in flight and nothing more to send.
    bool finished() const { return m_started && m_transfers.empty(); }
    // Called once, from the event loop, when finished() becomes true.
    std::function<void()> onFinished;
    // A request ended without an answer (not cancelled), or with an error status.
    std::function<void(const HttpOutcome &outcome)> onFailure;

    // Body bytes moved so far: received with a success status, or sent and acknowledged by
    // the server.
    qint64 bytes();
    // The streams StreamRule kept, not counting one still on trial; streams that stopped
    // on an error still count.
    int streams() const { return m_rule.kept(); }
    // Requests in flight now.
    int inFlight() const { return int(m_transfers.size()); }
    // The phase asked for every byte it may and got them all before its deadline.
    bool ranOut() const { return m_ranOut && !m_stopped; }
    // The phase ended with requests cut, or with a broken one: what they left on the way
    // may still be queued on the link.
    bool endedCut() const { return m_endedCut; }

    // How often the requests in flight are looked at, to send the next in time.
    static constexpr std::chrono::milliseconds checkInterval{20};
    // An upload stream's first block that has this many bytes acknowledged within this
    // long shows a link fast enough for its second block to start at once.
    static constexpr qint64 pairingBytes = 1024 * 1024;
    static constexpr double pairingSeconds = 0.5;
    // A download stream's requests in flight at most.
    static constexpr int maxRequestsInFlight = 4;
    // An upload stream's blocks in flight at most: where a block is shorter than a round
    // trip, the upload runs two streams or more (the download was fast), whose blocks share
    // the link and so last longer.
    static constexpr int maxBlocksInFlight = 2;
    // An upload's block whose acknowledged count has not grown for this many of the
    // stream's leads, and this long at least, is stuck (stuckBlock()); so is one that grew
    // by less than this share of what its stream carries at its rate in that time.
    static constexpr double stuckLeads = 8;
    static constexpr double stuckSeconds = 0.5;
    static constexpr double crawlShare = 1.0 / 16;
    // How far back a request's recent rate looks.
    static constexpr double recentSeconds = 0.1;
    // A stream's blocks take turns on two connections or more, each sending now and then
    // waiting for its answer. A BBR sender paces each at the rate it last saw, the whole
    // line's for one that sent alone: at 1 Gbit/s and 40 ms the connections' paces added up
    // to three or four times the line when they sent together, overfilled its queue and
    // lost thousands of packets a test, and a connection that took a storm of them paced at
    // a tenth of its share for seconds (one upload in five or six read 3-10 % under curl).
    // Half as much again as the stream's part of the line lets the streams take over from
    // one another. Only after such losses: a limited sender sees no more than its share and
    // paces at that, so where the phase runs without them the limit only holds the line back
    // (at 1 Gbit/s and 80 ms, a limit from the first second left one upload of eight at
    // 639 Mbit/s; after losses only, none of eight read under 946).
    static constexpr double pacingLimitShare = 1.5;
    static constexpr double pacingLimitAfterSeconds = 1.0;
    static constexpr quint32 pacingLimitLosses = 100;

private:
    struct Transfer
    {
        std::shared_ptr<HttpTask> task;
        int stream = 0;
        qint64 size = 0;
        qint64 moved = 0;
        Clock::time_point sent;
        std::optional<Clock::time_point> firstData;
        // Uploads: when the first byte of its body was acknowledged, and when the count of
        // those acknowledged last grew (by a crawl's bytes or more, from grewFrom).
        std::optional<Clock::time_point> firstAcknowledged;
        Clock::time_point grew;
        qint64 grewFrom = 0;
        // Uploads: its connection's count of segments sent again, as last seen after
        // pacingLimitAfterSeconds.
        std::optional<quint32> retransmitted;
        // Downloads: the rate of its last recentSeconds, from a mark moved on at each.
        std::optional<Clock::time_point> markTime;
        qint64 markMoved = 0;
        double recentRate = 0;
        // Downloads: its connection's bytes per round trip once its receive buffer can
        // grow no more, as of the last window's end.
        std::optional<quint32> perRoundTripAtLimit;
    };
    struct Stream
    {
        int inFlight = 0;
        int requests = 0;
        bool stopped = false;
        bool movedAny = false;
        // From sending its latest request to its body's first byte, in seconds (leadOf()).
        double lead = -1;
        // Bytes per second of its latest finished request, from sending it to its end.
        double rate = 0;
        // Downloads: its latest request ended while the next, past its window's opening,
        // carried under half its rate (StreamTiming::lagging()).
        struct Lag
        {
            Clock::time_point ended;
            // The stream's rate just before, all its requests together.
            double rate = 0;
            // The largest of its requests then: what the freed connection carries.
            qint64 size = 0;
            // What its requests left in flight had moved by then.
            qint64 moved = 0;
        };
        std::optional<Lag> lag;
    };
    enum class Behind { no, opening, pastOpening };

    // Sends the stream's next request; a download's size follows the stream's steps and
    // rate, when known (bytes per second), unless given: then it repeats an earlier one. An
    // upload's block is whole unless given a size.
    bool send(int stream, double rate = 0, qint64 size = 0);
    qint64 nextSize(const Stream &stream, double rate, Clock::time_point now) const;
    void transferEnded(Transfer *transfer, const HttpOutcome &outcome);
    // How long the request took for its body to start moving, when it has moved this much
    // by now; negative before its first data.
    double leadOf(const Transfer &transfer, qint64 moved, Clock::time_point now) const;
    // Whether an upload's block has stopped moving, or crawled, for far longer than its
    // connection's round trip: its sender in the backoff of its retransmission timer.
    bool stuckBlock(const Transfer &transfer, const Stream &stream, Clock::time_point now) const;
    // How long a block's count may stand still before it is stuck; none before its first
    // acknowledgement.
    static std::optional<double> stuckAfter(const Transfer &transfer, const Stream &stream);
    // Bytes per second a request in flight moves now; 0 before its first data.
    static double currentRate(const Transfer &transfer, Clock::time_point now);
    // Whether a download that has just ended (at `rate`) leaves its stream's next request, on
    // a fresh connection, carrying less than half its rate: the link would be half idle until
    // that one catches up. While the fresh one still opens its window the connection the ended
    // one frees, its window open, carries one more request of the same size at once; past
    // that, one of the largest size in flight, once the fresh one has had its chance to take
    // the link over and has not (refillLagging()).
    Behind behind(const Transfer &ended, double rate) const;
    void refillLagging(int stream, Clock::time_point now);
    Stream::Lag lagAfter(const Transfer &ended, double rate) const;
    // What the stream's requests in flight have moved.
    qint64 movedBy(int stream) const;
    void check();
    void sendNextInTime(int stream, Clock::time_point now);
    void refreshUploads(Clock::time_point now);
    // bytes() as of the last refresh of the uploads in flight.
    qint64 counted() const;
    // Sets the connections' pacing limit from the window that just ended (limitPacing).
    void limitPacing(double windowRate, Clock::time_point now);
    void addStream();
    void giveBackStream();
    void finishLater();

    HttpSession &m_session;
    Setup m_setup;
    StreamRule m_rule;
    DownloadSizeLimit m_sizeLimit;
    std::vector<Stream> m_streams;
    // The stream added on trial, -1 when none is.
    int m_trialStream = -1;
    bool m_trialRetried = false;
    std::vector<std::unique_ptr<Transfer>> m_transfers;
    QTimer m_check;
    bool m_started = false;
    bool m_stopped = false;
    bool m_ranOut = false;
    bool m_endedCut = false;
    qint64 m_asked = 0;
    // Downloads: every counted byte; uploads: those of the requests that ended.
    qint64 m_settled = 0;
    qint64 m_windowBytes = 0;
    Clock::time_point m_windowStart;
    // Uploads: whether this machine's sender backs off on losses (cubic, a stock Debian
    // desktop's) rather than pacing by its model of the path (BBR), once a connection told.
    std::optional<bool> m_lossBasedSender;
    // Uploads: the best window's rate since pacingLimitAfterSeconds (bytes per second), and
    // the pacing limit set on the connections from it.
    Clock::time_point m_startTime;
    double m_bestWindowRate = 0;
    // Segments the connections sent again since pacingLimitAfterSeconds, counted until they
    // reach pacingLimitLosses.
    quint32 m_lateLosses = 0;
    std::optional<quint64> m_pacingLimit;
};
