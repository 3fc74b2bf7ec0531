// SPDX-License-Identifier: GPL-3.0-or-later
#include "Connection.h"

#include "HttpHead.h"
#include "Pacer.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/time.h>

namespace speedserver {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t maxHeadBytes = 64 * 1024;
// Every download body is cut from one block of this size.
constexpr size_t blockBytes = 1024 * 1024;
// What one connection reads at a time; an idle connection touches none of it.
constexpr size_t readBytes = 64 * 1024;
constexpr std::uint64_t maxDownloadBytes = 1'000'000'000'000;
// The body of an error answer: an error page the size of a real one.
constexpr std::uint64_t errorPageBytes = 20'000;
// How long a connection answered before its body arrived waits for the client to leave.
constexpr auto lingerTime = std::chrono::seconds(2);

// Every download body is cut from this one block, so that serving costs no copying.
const std::vector<char> &bodyBlock()
{
    static const std::vector<char> block = [] {
        std::vector<char> bytes(blockBytes);
        std::uint32_t x = 2463534242u;
        for (char &byte : bytes) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            byte = char(x);
        }
        return bytes;
    }();
    return block;
}

void logLine(const std::string &line)
{
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The "bytes" parameter of the query: 0 when absent, nothing when malformed.
std::optional<std::uint64_t> requestedBytes(std::string_view query)
{
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        if (pair.substr(0, 6) == "bytes=") {
            const std::string_view digits = pair.substr(6);
            std::uint64_t bytes = 0;
            const auto [end, error] =
                std::from_chars(digits.data(), digits.data() + digits.size(), bytes);
            if (error != std::errc() || end != digits.data() + digits.size()
                || bytes > maxDownloadBytes)
                return std::nullopt;
            return bytes;
        }
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return 0;
}

std::string head(int status, std::uint64_t contentLength, bool close,
                 const char *contentType = "text/plain")
{
    return httpResponseHead(status, contentType, contentLength, close);
}

class ConnectionHandler
{
public:
    ConnectionHandler(Stream &stream, const ServerOptions &options, std::uint64_t number)
        : m_stream(stream)
        , m_options(options)
        , m_number(number)
        , m_buffer(new char[readBytes])
    {}

    void run()
    {
        while (auto text = readHead()) {
            HttpHead request;
            if (const int status = HttpHead::parse(*text, request)) {
                send(head(status, 0, true));
                return;
            }
            if (m_options.log)
                logLine(request.method + ' ' + request.target);
            m_bodyStart = m_bodyEnd = Clock::time_point{};
            const bool goesOn = answer(request);
            if (m_options.log && m_options.logTimes)
                logTimes(request);
            if (!goesOn || !request.keepAlive)
                return;
        }
    }

private:
    // The request head, without the blank line that ends it; whatever followed it stays in
    // m_pending.
    std::optional<std::string> readHead()
    {
        for (;;) {
            const size_t end = m_pending.find("\r\n\r\n");
            if (end != std::string::npos) {
                m_headAt = Clock::now();
                std::string text = m_pending.substr(0, end);
                m_pending.erase(0, end + 4);
                return text;
            }
            if (m_pending.size() > maxHeadBytes) {
                send(head(431, 0, true));
                return std::nullopt;
            }
            const ssize_t n = m_stream.read(m_buffer.get(), readBytes);
            if (n <= 0)
                return std::nullopt;
            m_pending.append(m_buffer.get(), size_t(n));
        }
    }

    bool send(const std::string &text) { return m_stream.writeAll(text.data(), text.size()); }

    // An answer with this status, and an error page from 400 on when withPage.
    bool sendStatus(int status, bool close, bool withPage)
    {
        const std::uint64_t page = status >= 400 ? errorPageBytes : 0;
        return send(head(status, page, close, "text/html"))
               && (!withPage || page == 0 || m_stream.writeAll(bodyBlock().data(), page));
    }

    void waitForClientToLeave()
    {
        while (m_stream.read(m_buffer.get(), readBytes) > 0) {
        }
    }

    // Closing with a body still arriving would reset the connection, and a reset may throw
    // away the answer before the client reads it: as web servers do, what the client still
    // sends is read and dropped until it leaves, for a bounded time.
    void lingerAfterAnswer()
    {
        const timeval step{0, 100'000};
        ::setsockopt(m_stream.fd(), SOL_SOCKET, SO_RCVTIMEO, &step, sizeof step);
        const Clock::time_point until = Clock::now() + lingerTime;
        while (Clock::now() < until) {
            errno = 0;
            const ssize_t n = m_stream.read(m_buffer.get(), readBytes);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                return;
        }
    }

    // Reads and drops up to `bytes` of body, at `rate` at most when given; whether all of
    // them arrived.
    bool dropBody(std::uint64_t bytes, std::uint64_t rate = 0)
    {
        m_bodyStart = Clock::now();
        const LinkPacer::Use onTheLink(*m_options.upLink);
        // What came with the head was read from the socket already.
        m_stream.paceReads(m_options.upLink.get(), rate ? rate : m_options.connectionRate,
                           m_pending.size());
        const std::uint64_t fromPending = std::min<std::uint64_t>(bytes, m_pending.size());
        m_pending.erase(0, fromPending);
        bytes -= fromPending;
        totals().up += fromPending;
        while (bytes > 0) {
            const ssize_t n =
                m_stream.read(m_buffer.get(), std::min<std::uint64_t>(bytes, readBytes));
            if (n <= 0)
                break;
            bytes -= std::uint64_t(n);
            totals().up += std::uint64_t(n);
        }
        m_stream.paceReads();
        m_bodyEnd = Clock::now();
        return bytes == 0;
    }

    bool sendBody(std::uint64_t bytes, std::uint64_t rate = 0)
    {
        m_bodyStart = Clock::now();
        Pacer own(rate ? rate : m_options.connectionRate);
        LinkPacer &link = *m_options.downLink;
        const LinkPacer::Use onTheLink(link);
        const char *block = bodyBlock().data();
        bool sent = true;
        while (bytes > 0) {
            const std::uint64_t most = std::min<std::uint64_t>(bytes, blockBytes);
            const size_t n = std::min(own.pieceSize(most), link.pieceSize(most));
            if (!m_stream.writeAll(block, n)) {
                sent = false;
                break;
            }
            bytes -= n;
            totals().down += n;
            own.moved(n);
            link.moved(n);
        }
        m_bodyEnd = Clock::now();
        return sent;
    }

    // "times METHOD TARGET HEAD START END CONNECTION", the times in microseconds of the
    // monotonic clock, the connection numbered from 1 in the order they came.
    void logTimes(const HttpHead &request) const
    {
        const auto micros = [](Clock::time_point at) {
            return at == Clock::time_point{}
                       ? 0LL
                       : (long long)std::chrono::duration_cast<std::chrono::microseconds>(
                             at.time_since_epoch())
                             .count();
        };
        logLine("times " + request.method + ' ' + request.target + ' '
                + std::to_string(micros(m_headAt)) + ' ' + std::to_string(micros(m_bodyStart)) + ' '
                + std::to_string(micros(m_bodyEnd)) + ' ' + std::to_string(m_number));
    }

    // Whether the connection can carry another request.
    bool answer(const HttpHead &request)
    {
        Target target = Target::any;
        if (request.path == "/__down" && request.method == "HEAD")
            target = Target::head;
        else if (request.path == "/__down" && request.method == "GET")
            target = Target::down;
        else if (request.path == "/__up" && request.method == "POST")
            target = Target::up;
        const std::uint64_t bodyLength = request.contentLength.value_or(0);
        const bool hasBody = bodyLength > 0 || request.chunked;

        if (target == Target::any)
            return send(head(404, 0, hasBody)) && !hasBody;

        const Fault *fault = m_options.takeFault(target);
        if (fault && fault->kind == Fault::Kind::stall) {
            waitForClientToLeave();
            return false;
        }
        if (m_options.delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_options.delayMs));
        if (fault && fault->kind == Fault::Kind::delay)
            std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
        if (fault && fault->kind == Fault::Kind::status) {
            // The request's body is left unread: the answer says it is not wanted.
            const bool sent = sendStatus(fault->status, hasBody, target != Target::head);
            if (hasBody && sent)
                lingerAfterAnswer();
            return sent && !hasBody;
        }

        const bool cut = fault && fault->kind == Fault::Kind::closeAfter;
        const bool endless = fault && fault->kind == Fault::Kind::endless;
        if (target == Target::up) {
            const bool accept = fault && fault->kind == Fault::Kind::accept;
            return answerUpload(request, cut ? std::optional(fault->bytes) : std::nullopt, endless,
                                accept ? std::optional(fault->bytes) : std::nullopt,
                                fault && fault->kind == Fault::Kind::rate ? fault->bytes : 0);
        }

        auto bytes = requestedBytes(request.query);
        if (!bytes)
            return send(head(400, 0, hasBody)) && !hasBody;
        if (hasBody) {
            send(head(400, 0, true));
            return false;
        }
        if (cut && target == Target::head)
            return false;
        if (endless && target == Target::down)
            bytes = maxDownloadBytes;
        if (target == Target::down && m_options.publicRules && *bytes >= m_options.sizeCap
            && !request.fromPage) {
            ++totals().refused;
            return sendStatus(403, false, true);
        }
        if (!send(head(200, *bytes, false, "application/octet-stream")))
            return false;
        if (target == Target::head)
            return true;
        if (cut) {
            sendBody(std::min(fault->bytes, *bytes));
            return false;
        }
        return sendBody(*bytes, fault && fault->kind == Fault::Kind::rate ? fault->bytes : 0);
    }

    // accepted: the body bytes the answer says were accepted, at most all of them.
    bool answerUpload(const HttpHead &request, std::optional<std::uint64_t> cutAfter, bool endless,
                      std::optional<std::uint64_t> accepted, std::uint64_t rate)
    {
        if (request.chunked || !request.contentLength) {
            send(head(411, 0, true));
            return false;
        }
        if (request.expectContinue && !send("HTTP/1.1 100 Continue\r\n\r\n"))
            return false;
        if (cutAfter) {
            dropBody(std::min(*cutAfter, *request.contentLength));
            return false;
        }
        if (!dropBody(*request.contentLength, rate))
            return false;
        if (endless) {
            send(head(200, maxDownloadBytes, true, "application/octet-stream"));
            sendBody(maxDownloadBytes);
            return false;
        }
        if (!accepted && m_options.publicRules)
            accepted = *request.contentLength;
        if (!accepted)
            return send(head(200, 2, false) + "ok");
        const std::string count = std::to_string(std::min(*accepted, *request.contentLength));
        return send(httpResponseHead(200, "text/plain", 2, false, {{"cf-meta-upload-bytes", count}})
                    + "ok");
    }

    Stream &m_stream;
    const ServerOptions &m_options;
    std::uint64_t m_number;
    std::unique_ptr<char[]> m_buffer;
    std::string m_pending;
    Clock::time_point m_headAt;
    Clock::time_point m_bodyStart;
    Clock::time_point m_bodyEnd;
};

} // namespace

Totals &totals()
{
    static Totals all;
    return all;
}

void serveConnection(std::unique_ptr<Stream> stream, const ServerOptions &options)
{
    ConnectionHandler(*stream, options, ++totals().connections).run();
}

} // namespace speedserver
