// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ThroughputStreams.h"

#include "engine/StreamTiming.h"

#include "platform/HttpSession.h"
#include "platform/HttpTask.h"

#include <QPointer>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

double seconds(std::chrono::steady_clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

} // namespace

ThroughputStreams::ThroughputStreams(HttpSession &session, Setup setup, QObject *parent)
    : QObject(parent)
    , m_session(session)
    , m_setup(std::move(setup))
    , m_rule(m_setup.maxStreams, m_setup.firstStreams, m_setup.trialWindows)
{
    m_check.setInterval(checkInterval);
    m_check.setTimerType(Qt::PreciseTimer);
    connect(&m_check, &QTimer::timeout, this, &ThroughputStreams::check);
}

ThroughputStreams::~ThroughputStreams()
{
    for (const auto &transfer : m_transfers) {
        transfer->task->onReceive = nullptr;
        transfer->task->onComplete = nullptr;
    }
}

void ThroughputStreams::start()
{
    if (m_started)
        return;
    m_started = true;
    m_windowStart = Clock::now();
    m_startTime = m_windowStart;
    m_check.start();
    bool sent = false;
    for (int index = 0; index < m_rule.streams(); ++index) {
        m_streams.push_back({});
        if (send(index)) {
            sent = true;
            if (m_setup.pairFirstRequests) {
                const qint64 share =
                    m_setup.upload && m_setup.pairedBlockShare < 1
                        ? qint64(m_setup.pairedBlockShare * double(m_transfers.back()->size))
                        : 0;
                send(index, std::numeric_limits<double>::infinity(), share);
            }
        }
    }
    if (!sent) {
        m_check.stop();
        finishLater();
    }
}

void ThroughputStreams::stop()
{
    m_stopped = true;
    m_check.stop();
    m_endedCut |= !m_transfers.empty();
    // A cancelled upload counts what was acknowledged up to the cancellation, not after.
    for (const auto &transfer : m_transfers)
        transfer->task->cancel();
}

qint64 ThroughputStreams::bytes()
{
    if (m_setup.upload)
        refreshUploads(Clock::now());
    return counted();
}

qint64 ThroughputStreams::counted() const
{
    if (!m_setup.upload)
        return m_settled;
    qint64 total = m_settled;
    for (const auto &transfer : m_transfers)
        total += transfer->moved;
    return total;
}

bool ThroughputStreams::send(int index, double rate, qint64 size)
{
    const Clock::time_point now = Clock::now();
    Stream &stream = m_streams[size_t(index)];
    if (m_stopped || stream.stopped || now >= m_setup.deadline)
        return false;
    const bool explicitSize = size > 0;
    if (!m_setup.upload) {
        if (m_setup.sizes.isEmpty())
            return false;
        size = std::min(m_sizeLimit.cap(explicitSize ? size : nextSize(stream, rate, now)),
                        m_setup.byteLimit - m_asked);
        if (size <= 0) {
            m_ranOut = true;
            return false;
        }
        m_asked += size;
    }
    const HttpRequest request = m_setup.request(size);
    auto transfer = std::make_unique<Transfer>();
    transfer->task = m_session.task(request);
    transfer->stream = index;
    transfer->size = m_setup.upload ? request.body.size() : size;
    transfer->sent = now;
    transfer->grew = now;
    Transfer *raw = transfer.get();
    if (m_pacingLimit)
        raw->task->limitPacing(*m_pacingLimit);
    const QPointer<ThroughputStreams> self(this);
    // Only the measurement counts: a download's body when the answer is a success, never
    // an error page, and never the body of an answer to an upload.
    if (!m_setup.upload) {
        raw->task->onReceive = [self, raw](QByteArrayView chunk) {
            if (!self)
                return;
            // The answer's status is settled by its first byte: it is asked for only until
            // the body of a success starts.
            if (!raw->firstData) {
                if (!HttpOutcome::isSuccessStatus(raw->task->status()))
                    return;
                raw->firstData = Clock::now();
                self->m_sizeLimit.served(raw->size);
            }
            raw->moved += chunk.size();
            self->m_settled += chunk.size();
        };
    }
    raw->task->onComplete = [self, raw](const HttpOutcome &outcome) {
        if (self)
            self->transferEnded(raw, outcome);
    };
    // A download of a given size repeats one: the stream's next is still its next step.
    stream.requests += explicitSize && !m_setup.upload ? 0 : 1;
    ++stream.inFlight;
    m_transfers.push_back(std::move(transfer));
    raw->task->start();
    return true;
}

qint64 ThroughputStreams::nextSize(const Stream &stream, double rate, Clock::time_point now) const
{
    return StreamTiming::nextSize(m_setup.sizes, stream.requests, std::max(rate, stream.rate),
                                  seconds(m_setup.deadline - now));
}

void ThroughputStreams::transferEnded(Transfer *transfer, const HttpOutcome &outcome)
{
    // A download refused for its size, larger than one already served: a limit, not a failure.
    const bool tooLarge = !m_setup.upload && transfer->moved == 0 && !outcome.cancelled
                          && m_sizeLimit.refused(transfer->size, outcome.status);
    // An upload answered with an error status was refused, whatever went out.
    const bool refused = outcome.status != 0 && !outcome.isSuccessStatus();
    if (!tooLarge && !outcome.cancelled && (!outcome.ok || refused) && onFailure)
        onFailure(outcome);
    qint64 moved = transfer->moved;
    if (m_setup.upload) {
        moved = refused ? 0 : transfer->task->bodyBytesAcknowledged();
        // The server may say that it kept less of the body than went through.
        if (const std::optional<qint64> accepted = ServiceRules::acceptedUploadBytes(
                transfer->task->responseHeader("cf-meta-upload-bytes")))
            moved = std::min(moved, *accepted);
        m_settled += moved;
    }
    const int index = transfer->stream;
    Stream &stream = m_streams[size_t(index)];
    --stream.inFlight;
    if (transfer->firstData)
        stream.lead = leadOf(*transfer, moved, Clock::now());
    if (moved > 0)
        stream.rate = double(moved) / seconds(Clock::now() - transfer->sent);
    // A request that moved nothing tells that this stream gets nothing more.
    // So does a trial stream refused at once, once: the trial would otherwise judge the
    // refusal, not the link.
    const bool retry = index == m_trialStream && !m_trialRetried;
    // Its other requests in flight may have moved something already.
    stream.movedAny |= std::ranges::any_of(m_transfers, [&](const auto &other) {
        return other.get() != transfer && other->stream == index && other->moved > 0;
    });
    const bool replace = moved == 0 && !tooLarge && !stream.stopped && (stream.movedAny || retry);
    m_trialRetried |= replace && retry && !stream.movedAny;
    stream.movedAny |= moved > 0;
    if (moved == 0 && !tooLarge)
        stream.stopped = true;
    const double endedRate = currentRate(*transfer, Clock::now());
    const Behind behind = outcome.ok && moved > 0 ? this->behind(*transfer, endedRate) : Behind::no;
    const bool refill = behind == Behind::opening;
    stream.lag.reset();
    if (behind == Behind::pastOpening)
        stream.lag = lagAfter(*transfer, endedRate);
    const qint64 size = transfer->size;
    const auto it = std::ranges::find(m_transfers, transfer, &std::unique_ptr<Transfer>::get);
    if (it != m_transfers.end())
        m_transfers.erase(it);
    // The refused request was the stream's next: one the server takes goes in its place,
    // on the connection the refusal leaves open; what the refused one asked for was not
    // served, so it does not count against the phase's limit.
    if (tooLarge) {
        m_asked -= size;
        send(index, 0, size);
    } else if (stream.inFlight == 0)
        send(index);
    // A loss-based sender grows a busy connection's window by a few packets a round trip:
    // while this one waits for its next block the others would not take its share (at
    // 300 Mbit/s and 20 ms, cubic, the link dropped to half whenever each stream had one
    // block left, and the upload read 261 where one curl stream carries 283). So its
    // stream's next block goes on its connection at once, both of the stream's blocks
    // always moving. A BBR sender paces near its share instead, and the blocks overfilled
    // the line's queue (at 150 ms: 86 against 95).
    else if (m_setup.upload && moved > 0 && m_lossBasedSender.value_or(false))
        send(index);
    else if (refill)
        send(index, 0, size);
    // A download stream's next long request waits for a connection (sendNextInTime()): not
    // for all of them. Its other requests in flight would have to take over this one's share,
    // which a sender pacing at its own share does only after several round trips: at 1 Gbit/s
    // and 40 ms, a stream's four long requests ending one by one left the link at 350 to
    // 560 Mbit/s for a second (838 read where other tests read 935).
    else if (!m_setup.upload && outcome.ok && moved > 0
             && StreamTiming::waitsForConnection(
                 double(nextSize(stream, stream.rate, Clock::now())), stream.rate, stream.lead))
        send(index);
    if (m_setup.upload) {
        // The block's connection is free now, its window open: the first stream ready for
        // its next block takes it, rather than one opened at the next check.
        const Clock::time_point now = Clock::now();
        for (size_t other = 0; other < m_streams.size(); ++other)
            sendNextInTime(int(other), now);
    }
    if (replace) {
        m_streams.push_back({});
        const int added = int(m_streams.size()) - 1;
        if (m_trialStream == index)
            m_trialStream = added;
        send(added);
    }
    if (m_transfers.empty()) {
        m_endedCut |= !outcome.ok;
        m_check.stop();
        finishLater();
    }
}

double ThroughputStreams::currentRate(const Transfer &transfer, Clock::time_point now)
{
    const double since = seconds(now - transfer.sent);
    if (!transfer.firstData || transfer.moved <= 0 || !(since > 0))
        return 0;
    return std::max(double(transfer.moved) / since, transfer.recentRate);
}

ThroughputStreams::Behind ThroughputStreams::behind(const Transfer &ended, double rate) const
{
    const Stream &stream = m_streams[size_t(ended.stream)];
    if (m_setup.upload || stream.stopped || stream.inFlight == 0
        || stream.inFlight >= maxRequestsInFlight)
        return Behind::no;
    const Clock::time_point now = Clock::now();
    double others = 0;
    bool opening = false;
    for (const auto &transfer : m_transfers) {
        if (transfer.get() == &ended || transfer->stream != ended.stream)
            continue;
        others += currentRate(*transfer, now);
        // Before its first data, or fewer round trips since than its window takes to open
        // up to the ended one's rate (the wait for its first data standing for a round trip,
        // which it overstates).
        if (!transfer->firstData) {
            opening = true;
        } else {
            const double lead = seconds(*transfer->firstData - transfer->sent);
            opening |= seconds(now - *transfer->firstData)
                       < StreamTiming::roundTripsToOpen(rate * lead) * lead;
        }
    }
    if (others >= rate / 2)
        return Behind::no;
    return opening ? Behind::opening : Behind::pastOpening;
}

ThroughputStreams::Stream::Lag ThroughputStreams::lagAfter(const Transfer &ended, double rate) const
{
    const Clock::time_point now = Clock::now();
    Stream::Lag lag{now, rate, ended.size, 0};
    for (const auto &transfer : m_transfers) {
        if (transfer->stream != ended.stream || transfer.get() == &ended)
            continue;
        lag.rate += currentRate(*transfer, now);
        lag.size = std::max(lag.size, transfer->size);
        lag.moved += transfer->moved;
    }
    return lag;
}

qint64 ThroughputStreams::movedBy(int stream) const
{
    qint64 moved = 0;
    for (const auto &transfer : m_transfers) {
        if (transfer->stream == stream)
            moved += transfer->moved;
    }
    return moved;
}

void ThroughputStreams::refillLagging(int index, Clock::time_point now)
{
    Stream &stream = m_streams[size_t(index)];
    if (!stream.lag)
        return;
    const Stream::Lag lag = *stream.lag;
    if (stream.stopped || stream.inFlight == 0 || stream.inFlight >= maxRequestsInFlight) {
        stream.lag.reset();
        return;
    }
    const StreamTiming::Lagging verdict =
        StreamTiming::lagging(lag.rate, double(movedBy(index) - lag.moved),
                              seconds(now - lag.ended), stream.lead, recentSeconds);
    if (verdict == StreamTiming::Lagging::wait)
        return;
    stream.lag.reset();
    if (verdict == StreamTiming::Lagging::refill)
        send(index, 0, lag.size);
}

double ThroughputStreams::leadOf(const Transfer &transfer, qint64 moved,
                                 Clock::time_point now) const
{
    if (!transfer.firstData)
        return -1;
    const double toFirstData = seconds(*transfer.firstData - transfer.sent);
    if (!m_setup.upload)
        return toFirstData;
    // An upload's first data is an eighth of its block acknowledged (refreshUploads()).
    const double toFirstByte =
        transfer.firstAcknowledged ? seconds(*transfer.firstAcknowledged - transfer.sent) : 0;
    return StreamTiming::uploadLead(transfer.size, toFirstData, toFirstByte, moved,
                                    seconds(now - transfer.sent));
}

void ThroughputStreams::refreshUploads(Clock::time_point now)
{
    for (const auto &transfer : m_transfers) {
        if (!m_lossBasedSender)
            if (const std::optional<QByteArray> control = transfer->task->congestionControl())
                m_lossBasedSender = !control->startsWith("bbr");
        const qint64 acknowledged = transfer->task->bodyBytesAcknowledged();
        // A connection in its retransmission timer's backoff may still move a few packets
        // between two timeouts: at 1 Gbit/s and 40 ms such blocks crawled at 6 to 12 Mbit/s
        // for the last second of the phase, where their streams had carried 300, and held
        // their streams as stopped ones would (640 to 891 read where other tests read 940).
        // Once stuck, a crawl's bytes must come between two looks, not add up over seconds.
        const Stream &stream = m_streams[size_t(transfer->stream)];
        const qint64 crawl =
            qint64(crawlShare * stream.rate * stuckAfter(*transfer, stream).value_or(0));
        if (acknowledged > transfer->grewFrom + crawl) {
            transfer->grew = now;
            transfer->grewFrom = acknowledged;
        } else if (stuckBlock(*transfer, stream, now)) {
            transfer->grewFrom = acknowledged;
        }
        transfer->moved = acknowledged;
        // Only the threshold needs the count: once it is passed, the kernel is not asked.
        if (m_setup.limitPacing && m_lateLosses < pacingLimitLosses
            && seconds(now - m_startTime) >= pacingLimitAfterSeconds) {
            if (const std::optional<quint32> resent = transfer->task->retransmitted()) {
                if (transfer->retransmitted && *resent > *transfer->retransmitted)
                    m_lateLosses += *resent - *transfer->retransmitted;
                transfer->retransmitted = resent;
            }
        }
        if (transfer->moved > 0 && !transfer->firstAcknowledged)
            transfer->firstAcknowledged = now;
        // The server's kernel takes the first bytes whether the server reads them or not:
        // the body flows once more than its buffers could hold has gone through.
        if (transfer->moved > transfer->size / 8 && !transfer->firstData)
            transfer->firstData = now;
    }
}

void ThroughputStreams::check()
{
    const Clock::time_point now = Clock::now();
    if (m_setup.upload) {
        refreshUploads(now);
    } else {
        // Only a download's timing uses the recent rate (sendNextInTime()).
        for (const auto &transfer : m_transfers) {
            if (!transfer->firstData)
                continue;
            if (transfer->markTime) {
                const double since = seconds(now - *transfer->markTime);
                if (since < recentSeconds)
                    continue;
                transfer->recentRate = double(transfer->moved - transfer->markMoved) / since;
            }
            transfer->markTime = now;
            transfer->markMoved = transfer->moved;
        }
    }
    for (size_t index = 0; index < m_streams.size(); ++index) {
        if (!m_setup.upload)
            refillLagging(int(index), now);
        sendNextInTime(int(index), now);
    }
    const double window = seconds(now - m_windowStart);
    if (window < StreamRule::windowSeconds)
        return;
    // The uploads' counts were refreshed above.
    const qint64 total = counted();
    // A download whose connection's receive buffer can grow no more, and which carried no
    // more per round trip than a window before, is held by its window. Only the first
    // trial waits for that: the kernel is not asked for the rest of the phase.
    bool windowLimited = false;
    if (!m_setup.upload && m_rule.waitingForLevel()) {
        for (const auto &transfer : m_transfers) {
            if (!transfer->firstData)
                continue;
            const std::optional<quint32> perRoundTrip =
                transfer->task->receivedPerRoundTripAtLimit();
            windowLimited |= perRoundTrip && transfer->perRoundTripAtLimit == perRoundTrip;
            transfer->perRoundTripAtLimit = perRoundTrip;
        }
    }
    const StreamRule::Action action =
        m_rule.windowEnded(total - m_windowBytes, window, windowLimited);
    if (m_setup.upload && m_setup.limitPacing)
        limitPacing(double(total - m_windowBytes) / window, now);
    m_windowBytes = total;
    m_windowStart = now;
    if (action == StreamRule::Action::add)
        addStream();
    else if (action == StreamRule::Action::giveBack)
        giveBackStream();
    else if (!m_rule.onTrial())
        m_trialStream = -1;
}

void ThroughputStreams::limitPacing(double windowRate, Clock::time_point now)
{
    // Before that the windows still open; a loss-based sender backs off on its own losses.
    if (seconds(now - m_startTime) < pacingLimitAfterSeconds || m_lossBasedSender.value_or(true))
        return;
    m_bestWindowRate = std::max(m_bestWindowRate, windowRate);
    if (m_lateLosses < pacingLimitLosses)
        return;
    const auto limit =
        quint64(pacingLimitShare * m_bestWindowRate / double(std::max(1, m_rule.streams())));
    if (limit == 0 || limit == m_pacingLimit)
        return;
    m_pacingLimit = limit;
    for (const auto &transfer : m_transfers)
        transfer->task->limitPacing(limit);
}

void ThroughputStreams::sendNextInTime(int index, Clock::time_point now)
{
    const Stream &stream = m_streams[size_t(index)];
    // An upload's third block would go on a fresh connection, the stream's two others busy,
    // whose window opens from ten packets: on a long fast path it carries its 4 MB in slow
    // start, many times as long as an open window would. It waits for one of the two to
    // end instead, and takes its connection, window open (transferEnded()).
    const int most = m_setup.upload ? maxBlocksInFlight : maxRequestsInFlight;
    if (stream.stopped || stream.inFlight == 0 || stream.inFlight >= most)
        return;
    // What the stream's requests in flight have still to move, at the rate they move it:
    // the rate since each was sent, or for a download that of its last 0.1 s when higher,
    // since in a connection's slow start the average lags far behind and would send the
    // next request late. (An upload's blocks would then crowd the stream's four places
    // while they wait for their answers, and leave the link idle.) Before its first data a
    // request's rate says nothing; the stream's latest finished one's does.
    // A stuck block may take seconds more (after a burst that overfilled the line's queue,
    // its repairs were lost too): the stream goes on as if it had ended, on a fresh
    // connection, and it still counts when it does.
    qint64 remaining = 0;
    double rate = 0;
    bool stuck = false;
    const Transfer *latest = nullptr;
    for (const auto &transfer : m_transfers) {
        if (transfer->stream != index)
            continue;
        if (!latest || transfer->sent > latest->sent)
            latest = transfer.get();
        if (m_setup.upload && stuckBlock(*transfer, stream, now)) {
            stuck = true;
            continue;
        }
        remaining += transfer->size - transfer->moved;
        rate += currentRate(*transfer, now);
    }
    if (stuck && remaining == 0) {
        send(index, rate);
        return;
    }
    // A stream's first request is short on a fast link (an upload's block, a download's
    // first step): while its connection still opens its window the rate says little of
    // when it will end, and the next request, on a connection of its own, would start its
    // window only when this one ends. Once the first request shows a fast link, the second
    // starts at once, a download's at the largest size. On a slow link a second connection
    // would only crowd the first in the link's small queue.
    if (stream.requests == 1 && latest && latest->moved >= pairingBytes
        && seconds(now - latest->sent) <= pairingSeconds) {
        send(index, std::numeric_limits<double>::infinity());
        return;
    }
    rate = std::max(rate, stream.rate);
    // The next answer takes about as long to start as the latest one did; twice that, and
    // a check's delay, leave a margin for a fresh connection's handshake.
    double lead = stream.lead;
    if (lead < 0 && latest)
        lead = leadOf(*latest, latest->moved, now);
    // A long download request goes when a current one ends, on the connection it leaves
    // (transferEnded()).
    if (!m_setup.upload
        && StreamTiming::waitsForConnection(double(nextSize(stream, rate, now)), rate, lead))
        return;
    // A download's next request goes on a connection fresh or idle for long, whose window
    // carries the stream's rate only after a few round trips; an upload's connections are
    // busy again within a round trip or two, their windows open.
    if (StreamTiming::nextIsDue(double(remaining), rate, lead, m_setup.upload,
                                seconds(checkInterval)))
        send(index, rate);
}

bool ThroughputStreams::stuckBlock(const Transfer &transfer, const Stream &stream,
                                   Clock::time_point now) const
{
    const std::optional<double> after = stuckAfter(transfer, stream);
    return after && transfer.moved < transfer.size && seconds(now - transfer.grew) >= *after;
}

std::optional<double> ThroughputStreams::stuckAfter(const Transfer &transfer, const Stream &stream)
{
    // Before its stream has a lead, the block's own wait for its first acknowledgement
    // stands for its round trip; before that, nothing says how long it should take.
    if (!transfer.firstAcknowledged)
        return std::nullopt;
    const double lead =
        stream.lead >= 0 ? stream.lead : seconds(*transfer.firstAcknowledged - transfer.sent);
    return std::max(stuckLeads * lead, stuckSeconds);
}

void ThroughputStreams::addStream()
{
    m_streams.push_back({});
    m_trialStream = int(m_streams.size()) - 1;
    send(m_trialStream);
}

void ThroughputStreams::giveBackStream()
{
    // Its requests in flight finish and count; it sends no more, unless it leaves a download
    // on one stream: that stream's connections would take up its whole share, and a sender
    // that took a storm of losses for a policer's (BBR) paces them at their old rates for 48
    // round trips more. Beside several streams it would only crowd a long path's queue.
    if (m_trialStream >= 0 && (m_setup.upload || m_rule.kept() > 1))
        m_streams[size_t(m_trialStream)].stopped = true;
    m_trialStream = -1;
}

void ThroughputStreams::finishLater()
{
    QTimer::singleShot(0, this, [this] {
        if (const auto callback = std::exchange(onFinished, nullptr))
            callback();
    });
}

// Compiled here so that a program using the engine links none of the widgets.
#include "moc_ThroughputStreams.cpp"
