// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/HttpSession.h"

#include "platform/HttpTask.h"
#include "platform/TcpCounters.h"

#include <QSocketNotifier>

#include <climits>
#include <coroutine>

namespace {

void initialiseCurlOnce()
{
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    Q_UNUSED(initialised);
}

// Resumes the awaiting coroutine when the task completes. The task is started only
// once the handle is stored, so a completion can never come first. It holds a plain
// pointer: GCC 12 destroys a braced awaiter in a co_await expression twice, which must
// cost nothing.
struct Completion
{
    HttpTask *task;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> awaiting)
    {
        task->onComplete = [awaiting](const HttpOutcome &) { awaiting.resume(); };
        task->start();
    }
    void await_resume() const noexcept {}
};

} // namespace

HttpSession::HttpSession(Config config, QObject *parent)
    : QObject(parent)
    , m_config(std::move(config))
{
    initialiseCurlOnce();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &HttpSession::timedOut);
    m_multi = curl_multi_init();
    if (m_multi) {
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &HttpSession::socketCallback);
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &HttpSession::timerCallback);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
        // Each transfer has a connection to itself while it runs, even over HTTP/2: parallel
        // requests are parallel TCP streams, and what a connection's peer acknowledged
        // belongs to the one request it carries.
        curl_multi_setopt(m_multi, CURLMOPT_PIPELINING, long(CURLPIPE_NOTHING));
    }
}

HttpSession::~HttpSession()
{
    const auto running = std::exchange(m_running, {});
    for (const auto &task : running) {
        curl_multi_remove_handle(m_multi, task->m_easy);
        task->m_inMulti = false;
        task->m_state = HttpTask::State::finished;
        task->onReceive = nullptr;
        task->onComplete = nullptr;
    }
    if (m_multi)
        curl_multi_cleanup(m_multi);
    m_multi = nullptr;
    m_timer.stop();
    for (const Watch &watch : std::as_const(m_watches)) {
        delete watch.read;
        delete watch.write;
    }
}

std::shared_ptr<HttpTask> HttpSession::task(HttpRequest request)
{
    return std::make_shared<HttpTask>(HttpTask::Key{}, this, std::move(request));
}

QCoro::Task<HttpOutcome> HttpSession::perform(HttpRequest request)
{
    // Named, not temporaries of the co_await expression: GCC 12 may destroy those twice.
    const std::shared_ptr<HttpTask> transfer = task(std::move(request));
    HttpOutcome outcome = co_await perform(transfer);
    co_return outcome;
}

QCoro::Task<HttpOutcome> HttpSession::perform(std::shared_ptr<HttpTask> transfer)
{
    co_await Completion{transfer.get()};
    co_return transfer->outcome();
}

QCoro::Task<HttpResponse> HttpSession::fetch(HttpRequest request, qsizetype bodyLimit)
{
    // Named, not temporaries of the co_await expression: GCC 12 may destroy those twice.
    const std::shared_ptr<HttpTask> transfer = task(std::move(request));
    HttpResponse response = co_await fetch(transfer, bodyLimit, {});
    co_return response;
}

QCoro::Task<HttpResponse> HttpSession::fetch(std::shared_ptr<HttpTask> transfer,
                                             qsizetype bodyLimit,
                                             std::function<void(qsizetype received)> onProgress)
{
    HttpResponse response;
    bool tooLarge = false;
    // The frame outlives the task's callbacks: they are dropped when it completes.
    transfer->onReceive = [&response, &tooLarge, &onProgress, bodyLimit,
                           raw = transfer.get()](QByteArrayView chunk) {
        if (tooLarge)
            return;
        if (chunk.size() > bodyLimit - response.body.size()) {
            tooLarge = true;
            response.body.clear();
            raw->cancel();
            return;
        }
        response.body.append(chunk);
        if (onProgress)
            onProgress(response.body.size());
    };
    co_await Completion{transfer.get()};
    response.outcome = transfer->outcome();
    // Even when the last chunk was the one too many and the transfer itself ended well.
    if (tooLarge) {
        response.outcome.ok = false;
        response.outcome.error =
            QStringLiteral("the answer is larger than %1 bytes").arg(bodyLimit);
    }
    co_return response;
}

bool HttpSession::add(const std::shared_ptr<HttpTask> &task)
{
    if (!m_multi || curl_multi_add_handle(m_multi, task->m_easy) != CURLM_OK)
        return false;
    task->m_inMulti = true;
    m_running.insert(task.get(), task);
    return true;
}

void HttpSession::remove(HttpTask *task)
{
    if (task->m_inMulti && m_multi)
        curl_multi_remove_handle(m_multi, task->m_easy);
    task->m_inMulti = false;
    m_running.remove(task);
}

void HttpSession::socketReady(curl_socket_t socket, int events)
{
    if (!m_multi)
        return;
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);
    collectFinished();
}

void HttpSession::timedOut()
{
    if (!m_multi)
        return;
    int running = 0;
    curl_multi_socket_action(m_multi, CURL_SOCKET_TIMEOUT, 0, &running);
    collectFinished();
}

void HttpSession::collectFinished()
{
    // Completion callbacks may start new transfers, so the finished ones are gathered
    // before any of them is reported.
    QList<std::pair<std::shared_ptr<HttpTask>, CURLcode>> finished;
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        if (HttpTask *task = runningTask(message->easy_handle))
            finished.append({m_running.value(task), message->data.result});
    }
    for (const auto &[task, code] : finished)
        task->finishTransfer(code);
}

HttpTask *HttpSession::runningTask(CURL *easy) const
{
    char *owner = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &owner);
    HttpTask *task = reinterpret_cast<HttpTask *>(owner);
    return m_running.contains(task) ? task : nullptr;
}

void HttpSession::markStream(curl_socket_t socket)
{
    if (const std::optional<quint64> written = TcpCounters::written(socket))
        m_streamMarks.insert(socket, *written);
    else
        m_streamMarks.remove(socket);
}

void HttpSession::watch(curl_socket_t socket, int what)
{
    Watch &watch = m_watches[socket];
    const auto enable = [this, socket](QSocketNotifier *&notifier, QSocketNotifier::Type type,
                                       int event, bool on) {
        if (!notifier && !on)
            return;
        if (!notifier) {
            notifier = new QSocketNotifier(socket, type, this);
            connect(notifier, &QSocketNotifier::activated, this,
                    [this, socket, event] { socketReady(socket, event); });
        }
        notifier->setEnabled(on);
    };
    enable(watch.read, QSocketNotifier::Read, CURL_CSELECT_IN,
           what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    enable(watch.write, QSocketNotifier::Write, CURL_CSELECT_OUT,
           what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
}

void HttpSession::unwatch(curl_socket_t socket)
{
    const Watch watch = m_watches.take(socket);
    // This may run inside the notifier's own activation, so it is only switched off here.
    for (QSocketNotifier *notifier : {watch.read, watch.write}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
}

int HttpSession::socketCallback(CURL *easy, curl_socket_t socket, int what, void *session, void *)
{
    auto *self = static_cast<HttpSession *>(session);
    HttpTask *task = self->runningTask(easy);
    if (what == CURL_POLL_REMOVE) {
        // The socket is still open here, whether curl closes it next or keeps the
        // connection for a later request.
        if (task)
            task->detachSocket(socket);
        self->markStream(socket);
        self->unwatch(socket);
    } else {
        if (task && task->m_socket != socket) {
            const auto mark = self->m_streamMarks.constFind(socket);
            task->attachSocket(socket, mark == self->m_streamMarks.constEnd()
                                           ? std::nullopt
                                           : std::optional<quint64>(*mark));
        }
        self->watch(socket, what);
    }
    return 0;
}

int HttpSession::timerCallback(CURLM *, long timeoutMs, void *session)
{
    auto *self = static_cast<HttpSession *>(session);
    if (timeoutMs < 0)
        self->m_timer.stop();
    else
        self->m_timer.start(int(std::min<long>(timeoutMs, INT_MAX)));
    return 0;
}

// Compiled here so that a program using the session links none of the widgets.
#include "moc_HttpSession.cpp"
