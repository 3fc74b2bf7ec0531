// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/HttpTask.h"

#include "platform/HttpSession.h"
#include "platform/TcpCounters.h"
#include "platform/TcpPacing.h"

#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <utility>

namespace {

// Large receive buffers mean fewer callbacks and event-loop turns per gigabyte.
constexpr long receiveBufferBytes = 512 * 1024;
constexpr long sendBufferBytes = 2 * 1024 * 1024;

} // namespace

HttpTask::HttpTask(Key, HttpSession *session, HttpRequest request)
    : m_session(session)
    , m_request(std::move(request))
    , m_easy(curl_easy_init())
{}

HttpTask::~HttpTask()
{
    if (m_inMulti && m_session)
        m_session->remove(this);
    if (m_easy)
        curl_easy_cleanup(m_easy);
    curl_slist_free_all(m_headers);
}

void HttpTask::start()
{
    if (m_state != State::created)
        return;
    m_state = State::running;
    if (m_cancelRequested) {
        completeLater({.cancelled = true, .error = QStringLiteral("cancelled")});
        return;
    }
    if (!m_session || !configure() || !m_session->add(shared_from_this()))
        completeLater({.error = QStringLiteral("the request could not be started")});
}

void HttpTask::cancel()
{
    if (m_state == State::finished || m_cancelRequested)
        return;
    countAcknowledged();
    if (m_socket != CURL_SOCKET_BAD) {
        // What the kernel still holds for a cancelled request goes with the connection,
        // instead of filling the link for seconds after the transfer ended.
        const linger reset{1, 0};
        ::setsockopt(m_socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    m_cancelRequested = true;
    // A task not started yet completes when it is started.
    if (m_state == State::running)
        completeLater({.cancelled = true, .error = QStringLiteral("cancelled")});
}

bool HttpTask::configure()
{
    if (!m_easy)
        return false;
    bool ok = true;
    const auto set = [this, &ok](CURLoption option, auto value) {
        ok = ok && curl_easy_setopt(m_easy, option, value) == CURLE_OK;
    };
    const long timeoutMs = long(std::max<qint64>(1, m_request.timeout.count()));
    set(CURLOPT_URL, m_request.url.constData());
    set(CURLOPT_PRIVATE, this);
    set(CURLOPT_ERRORBUFFER, m_errorText);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    // A request begun over TLS stays on it: a redirect must not send its body in clear.
    set(CURLOPT_REDIR_PROTOCOLS_STR,
        qstrnicmp(m_request.url.constData(), "https:", 6) == 0 ? "https" : "http,https");
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, 10L);
    set(CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, std::max(1L, (timeoutMs + 999) / 1000));
    if (m_request.deadline.count() > 0)
        set(CURLOPT_TIMEOUT_MS, long(m_request.deadline.count()));
    set(CURLOPT_BUFFERSIZE, receiveBufferBytes);
    set(CURLOPT_UPLOAD_BUFFERSIZE, sendBufferBytes);
    set(CURLOPT_WRITEFUNCTION, &HttpTask::receive);
    set(CURLOPT_WRITEDATA, this);
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, &HttpTask::progress);
    set(CURLOPT_XFERINFODATA, this);
    set(CURLOPT_SOCKOPTFUNCTION, &HttpTask::socketOpened);
    set(CURLOPT_SOCKOPTDATA, this);
    set(CURLOPT_PREREQFUNCTION, &HttpTask::requestBegins);
    set(CURLOPT_PREREQDATA, this);

    const HttpSession::Config &config = m_session->config();
    set(CURLOPT_HTTP_VERSION, config.version == HttpVersion::http2 ? long(CURL_HTTP_VERSION_2TLS)
                                                                   : long(CURL_HTTP_VERSION_1_1));
    if (!config.caFile.isEmpty())
        set(CURLOPT_CAINFO, QFile::encodeName(config.caFile).constData());
    if (!config.source.isEmpty())
        set(CURLOPT_INTERFACE, config.source.toUtf8().constData());
    set(CURLOPT_IPRESOLVE, config.family == IpFamily::ipv4   ? long(CURL_IPRESOLVE_V4)
                           : config.family == IpFamily::ipv6 ? long(CURL_IPRESOLVE_V6)
                                                             : long(CURL_IPRESOLVE_WHATEVER));

    if (m_request.method == "HEAD") {
        set(CURLOPT_NOBODY, 1L);
    } else if (m_request.method == "POST") {
        // The body is sent from the request's own shared copy, never duplicated. An
        // empty Expect header keeps curl from waiting for "100 Continue" first.
        set(CURLOPT_POST, 1L);
        set(CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_request.body.size()));
        set(CURLOPT_POSTFIELDS, m_request.body.constData());
        m_headers = curl_slist_append(m_headers, "Expect:");
        set(CURLOPT_HTTPHEADER, m_headers);
    } else if (m_request.method == "GET") {
        set(CURLOPT_HTTPGET, 1L);
    } else {
        ok = false;
    }
    return ok;
}

void HttpTask::completeLater(HttpOutcome outcome)
{
    QTimer::singleShot(0, [self = shared_from_this(), outcome = std::move(outcome)] {
        if (self->m_state == State::finished)
            return;
        if (self->m_session)
            self->m_session->remove(self.get());
        self->complete(outcome);
    });
}

namespace {

HttpFailure failureOf(CURLcode code, long osErrno)
{
    switch (code) {
    case CURLE_OK:
        return HttpFailure::none;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return HttpFailure::nameNotResolved;
    case CURLE_COULDNT_CONNECT:
        return osErrno == ECONNREFUSED ? HttpFailure::refused : HttpFailure::unreachable;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        return HttpFailure::certificateRejected;
    case CURLE_OPERATION_TIMEDOUT:
        return HttpFailure::timedOut;
    // A server that refuses an upload may answer and close before reading its body: the
    // kernel then resets the connection, and the answer may be lost with it.
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return HttpFailure::interrupted;
    default:
        return HttpFailure::other;
    }
}

} // namespace

void HttpTask::finishTransfer(int curlCode)
{
    HttpOutcome outcome;
    outcome.ok = curlCode == CURLE_OK;
    outcome.cancelled = m_cancelRequested;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &outcome.status);
    curl_easy_getinfo(m_easy, CURLINFO_NUM_CONNECTS, &outcome.newConnections);
    if (!outcome.ok) {
        long osErrno = 0;
        curl_easy_getinfo(m_easy, CURLINFO_OS_ERRNO, &osErrno);
        outcome.failure = failureOf(CURLcode(curlCode), osErrno);
        outcome.error = QString::fromUtf8(m_errorText[0] ? m_errorText
                                                         : curl_easy_strerror(CURLcode(curlCode)));
    } else if (!m_cancelRequested) {
        // The answer came after the whole body had gone out.
        m_acknowledged = m_sent;
    }
    // A request answered at once may never have been watched, so the connection it leaves
    // for the next one is marked here too.
    curl_socket_t kept = CURL_SOCKET_BAD;
    if (m_session && curl_easy_getinfo(m_easy, CURLINFO_ACTIVESOCKET, &kept) == CURLE_OK
        && kept != CURL_SOCKET_BAD)
        m_session->markStream(kept);
    clearPacingLimit();
    if (m_session)
        m_session->remove(this);
    complete(std::move(outcome));
}

void HttpTask::complete(HttpOutcome outcome)
{
    const std::shared_ptr<HttpTask> keepAlive = shared_from_this();
    m_state = State::finished;
    m_outcome = std::move(outcome);
    onReceive = nullptr;
    const auto callback = std::exchange(onComplete, nullptr);
    if (callback)
        callback(m_outcome);
}

long HttpTask::status() const
{
    long status = 0;
    if (m_easy)
        curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

std::optional<QByteArray> HttpTask::responseHeader(const char *name) const
{
    curl_header *header = nullptr;
    // The final answer's own headers, not those of a 100 Continue before it.
    if (!m_easy || curl_easy_header(m_easy, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK)
        return std::nullopt;
    return QByteArray(header->value);
}

qint64 HttpTask::bodyBytesAcknowledged()
{
    countAcknowledged();
    return m_acknowledgedBefore + m_acknowledged;
}

std::optional<quint32> HttpTask::receivedPerRoundTripAtLimit() const
{
    if (m_socket == CURL_SOCKET_BAD)
        return std::nullopt;
    return TcpCounters::receivedPerRoundTripAtLimit(m_socket);
}

std::optional<QByteArray> HttpTask::congestionControl() const
{
    if (m_socket == CURL_SOCKET_BAD)
        return std::nullopt;
    return TcpCounters::congestionControl(m_socket);
}

std::optional<quint32> HttpTask::retransmitted() const
{
    if (m_socket == CURL_SOCKET_BAD)
        return std::nullopt;
    return TcpCounters::retransmitted(m_socket);
}

void HttpTask::limitPacing(quint64 bytesPerSecond)
{
    m_pacingLimit = bytesPerSecond;
    if (const curl_socket_t socket = activeSocket(); socket != CURL_SOCKET_BAD)
        applyPacingLimit(socket);
}

std::optional<quint64> HttpTask::pacingLimit() const
{
    const curl_socket_t socket = activeSocket();
    if (socket == CURL_SOCKET_BAD)
        return std::nullopt;
    return TcpCounters::pacingLimit(socket);
}

void HttpTask::applyPacingLimit(curl_socket_t socket)
{
    if (!m_pacingLimit)
        return;
    if (m_pacedSocket != socket)
        clearPacingLimit();
    if (TcpPacing::setLimit(socket, *m_pacingLimit))
        m_pacedSocket = socket;
}

void HttpTask::clearPacingLimit()
{
    if (m_pacedSocket != CURL_SOCKET_BAD)
        TcpPacing::setLimit(std::exchange(m_pacedSocket, CURL_SOCKET_BAD), TcpPacing::unlimited);
}

curl_socket_t HttpTask::activeSocket() const
{
    if (m_socket != CURL_SOCKET_BAD || m_state != State::running || !m_easy)
        return m_socket;
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(m_easy, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK)
        return CURL_SOCKET_BAD;
    return socket;
}

void HttpTask::countAcknowledged()
{
    if (m_state != State::running || m_cancelRequested || !m_requestBegun)
        return;
    // Before its connection is known, and after it went, the count stays as it is.
    if (m_socket == CURL_SOCKET_BAD)
        return;
    if (!m_streamStart) {
        m_acknowledged = m_sent;
        return;
    }
    const std::optional<quint64> acked = TcpCounters::delivered(m_socket);
    if (!acked)
        return;
    long head = 0;
    curl_easy_getinfo(m_easy, CURLINFO_REQUEST_SIZE, &head);
    const qint64 stream = *acked > *m_streamStart ? qint64(*acked - *m_streamStart) : 0;
    // Never below the last count: the difference is negative until the head is through.
    m_acknowledged = std::clamp<qint64>(stream - head, m_acknowledged, m_request.body.size());
}

void HttpTask::attachSocket(curl_socket_t socket, std::optional<quint64> streamMark)
{
    m_socket = socket;
    applyPacingLimit(socket);
    // A request that began before its connection was known here went out on a connection
    // kept from an earlier one, which had finished with everything it wrote acknowledged.
    if (m_requestBegun && !m_streamStart)
        m_streamStart = streamMark;
}

void HttpTask::detachSocket(curl_socket_t socket)
{
    if (socket == m_pacedSocket)
        clearPacingLimit();
    if (m_socket != socket)
        return;
    countAcknowledged();
    m_socket = CURL_SOCKET_BAD;
}

int HttpTask::socketOpened(void *task, curl_socket_t socket, curlsocktype)
{
    auto *self = static_cast<HttpTask *>(task);
    if (self->m_session)
        self->m_session->forgetStream(socket);
    self->m_socket = socket;
    self->applyPacingLimit(socket);
    return CURL_SOCKOPT_OK;
}

int HttpTask::requestBegins(void *task, char *, char *, int, int)
{
    auto *self = static_cast<HttpTask *>(task);
    // curl sends a request again, body and all, on a new connection when the kept one it
    // tried died before any answer: the server got what the first attempt delivered too.
    if (self->m_requestBegun) {
        self->m_acknowledgedBefore += std::exchange(self->m_acknowledged, 0);
        self->m_streamStart.reset();
    }
    self->m_requestBegun = true;
    if (self->m_socket != CURL_SOCKET_BAD)
        self->m_streamStart = TcpCounters::written(self->m_socket);
    // A kept connection's socket callbacks may come only after the request has gone out.
    if (self->m_pacingLimit) {
        if (const curl_socket_t socket = self->activeSocket(); socket != CURL_SOCKET_BAD)
            self->applyPacingLimit(socket);
    }
    return CURL_PREREQFUNC_OK;
}

size_t HttpTask::receive(char *data, size_t size, size_t count, void *task)
{
    auto *self = static_cast<HttpTask *>(task);
    const size_t bytes = size * count;
    if (self->m_cancelRequested)
        return bytes == 0 ? CURL_WRITEFUNC_ERROR : 0;
    if (self->onReceive)
        self->onReceive(QByteArrayView(data, qsizetype(bytes)));
    return bytes;
}

int HttpTask::progress(void *task, curl_off_t, curl_off_t, curl_off_t, curl_off_t upNow)
{
    auto *self = static_cast<HttpTask *>(task);
    if (self->m_cancelRequested)
        return 1;
    self->m_sent = std::max(self->m_sent, qint64(upNow));
    return 0;
}
