#include "platform/HttpTask.h"

#include "platform/HttpSession.h"

#include <QFile>
#include <QTimer>

#include <algorithm>

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
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, 10L);
    set(CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, std::max(1L, (timeoutMs + 999) / 1000));
    set(CURLOPT_BUFFERSIZE, receiveBufferBytes);
    set(CURLOPT_UPLOAD_BUFFERSIZE, sendBufferBytes);
    set(CURLOPT_WRITEFUNCTION, &HttpTask::receive);
    set(CURLOPT_WRITEDATA, this);
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, &HttpTask::progress);
    set(CURLOPT_XFERINFODATA, this);

    const HttpSession::Config &config = m_session->config();
    set(CURLOPT_HTTP_VERSION, config.version == HttpVersion::http2 ? long(CURL_HTTP_VERSION_2TLS)
                                                                   : long(CURL_HTTP_VERSION_1_1));
    if (!config.caFile.isEmpty())
        set(CURLOPT_CAINFO, QFile::encodeName(config.caFile).constData());

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

void HttpTask::finishTransfer(int curlCode)
{
    HttpOutcome outcome;
    outcome.ok = curlCode == CURLE_OK;
    outcome.cancelled = m_cancelRequested;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &outcome.status);
    curl_easy_getinfo(m_easy, CURLINFO_NUM_CONNECTS, &outcome.newConnections);
    if (!outcome.ok) {
        outcome.error = QString::fromUtf8(m_errorText[0] ? m_errorText
                                                         : curl_easy_strerror(CURLcode(curlCode)));
    }
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
    onSend = nullptr;
    const auto callback = std::exchange(onComplete, nullptr);
    if (callback)
        callback(m_outcome);
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
    if (upNow > self->m_sent) {
        const qint64 sent = qint64(upNow) - self->m_sent;
        self->m_sent = qint64(upNow);
        if (self->onSend)
            self->onSend(sent, self->m_sent);
    }
    return 0;
}
