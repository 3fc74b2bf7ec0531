// SPDX-License-Identifier: GPL-3.0-or-later
#include "HttpServer.h"

#include "Listener.h"
#include "RateLimiter.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// What a client that was refused may still send before we close: enough for the rest of a
// small request, so that the refusal reaches it instead of a reset.
constexpr std::size_t maxDiscarded = 256 * 1024;
constexpr auto lingerTime = std::chrono::seconds(2);
// Freed input buffers are given back to the system once they add up to this much: after a
// flood of slow bodies the service should not keep their peak for good.
constexpr std::size_t trimAfter = 8 * 1024 * 1024;

std::string addressText(const sockaddr_storage &address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(address).sin_addr, text,
                  sizeof text);
        return text;
    }
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr, text,
              sizeof text);
    const std::string_view mapped = "::ffff:";
    std::string result = text;
    if (result.starts_with(mapped) && result.find('.') != std::string::npos)
        result.erase(0, mapped.size());
    return result;
}

bool isAddress(const std::string &text)
{
    in6_addr bytes{};
    return inet_pton(AF_INET, text.c_str(), &bytes) == 1
           || inet_pton(AF_INET6, text.c_str(), &bytes) == 1;
}

std::string jsonEscaped(std::string_view text)
{
    std::string escaped;
    for (const char c : text) {
        if (c == '"' || c == '\\')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

} // namespace

HttpServer::HttpServer(HttpLimits limits, Handler handler, Admission admit)
    : m_limits(limits)
    , m_handler(std::move(handler))
    , m_admit(std::move(admit))
{}

HttpServer::~HttpServer()
{
    for (const int fd : {m_listener, m_epoll, m_wake}) {
        if (fd >= 0)
            ::close(fd);
    }
}

std::string HttpServer::serialize(const HttpResponse &response, bool keepAlive, bool headOnly)
{
    std::string bytes = httpResponseHead(response.status, "application/json", response.body.size(),
                                         !keepAlive, response.headers);
    if (!headOnly)
        bytes += response.body;
    return bytes;
}

HttpResponse HttpServer::error(int status, std::string_view message)
{
    return {status, R"({"ok":false,"error":")" + jsonEscaped(message) + "\"}", {}};
}

int HttpServer::listen(const std::string &host, int port, std::string &error)
{
    m_listener = openListener(host, port, SOCK_NONBLOCK, 4096, error);
    if (m_listener < 0)
        return -1;
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    for (const int fd : {m_listener, m_wake}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    }
    return boundPort(m_listener);
}

void HttpServer::stop()
{
    m_stopping = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
}

void HttpServer::run()
{
    for (int index = 0; index < m_limits.workers; ++index)
        m_workers.emplace_back([this, index] { work(index); });
    epoll_event events[256];
    auto nextExpiry = Clock::now();
    while (!m_stopping) {
        const int count = epoll_wait(m_epoll, events, 256, m_unfinishedTurns.empty() ? 200 : 0);
        ++m_turn;
        const auto unfinished = std::exchange(m_unfinishedTurns, {});
        for (int i = 0; i < count; ++i) {
            const int fd = events[i].data.fd;
            if (fd == m_listener) {
                acceptSome();
            } else if (fd == m_wake) {
                std::uint64_t value = 0;
                [[maybe_unused]] const auto read = ::read(m_wake, &value, sizeof value);
                collectDone();
            } else if (const auto found = m_connections.find(fd); found != m_connections.end()) {
                Connection &connection = *found->second;
                if (connection.state == State::writing) {
                    onWritable(connection);
                    // A pipelined request may be waiting already.
                    if (connection.fd >= 0 && connection.state == State::reading
                        && !connection.in.empty())
                        take(connection);
                } else {
                    onReadable(connection);
                }
            }
        }
        for (const auto &[fd, serial] : unfinished) {
            const auto found = m_connections.find(fd);
            if (found == m_connections.end() || found->second->serial != serial)
                continue;
            found->second->unfinished = false;
            if (found->second->state == State::reading)
                take(*found->second);
        }
        if (Clock::now() >= nextExpiry) {
            expire();
            nextExpiry = Clock::now() + std::chrono::milliseconds(200);
        }
        m_closed.clear();
    }
    {
        // A worker between its look at m_stopping and its wait would miss the notification.
        const std::lock_guard guard(m_lock);
    }
    m_jobReady.notify_all();
    for (std::thread &worker : m_workers)
        worker.join();
    m_workers.clear();
    // The answers of the last requests, as far as the sockets take them now.
    collectDone();
    std::vector<int> open;
    for (const auto &[fd, connection] : m_connections)
        open.push_back(fd);
    for (const int fd : open)
        close(*m_connections.at(fd));
    m_closed.clear();
}

void HttpServer::work(int index)
{
    for (;;) {
        std::unique_lock lock(m_lock);
        m_jobReady.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_jobs.empty())
            return;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();

        HttpResponse response;
        try {
            response = m_handler(job.request, index);
        } catch (...) {
            response = error(500, "internal error");
        }
        std::string bytes = serialize(response, job.keepAlive, job.request.method == "HEAD");
        lock.lock();
        m_done.push_back({job.fd, job.serial, std::move(bytes), job.keepAlive});
        lock.unlock();
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
    }
}

void HttpServer::acceptSome()
{
    for (std::size_t taken = 0; taken < m_limits.acceptsPerTurn; ++taken) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = accept4(m_listener, reinterpret_cast<sockaddr *>(&address), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: stop asking until a connection closes.
                epoll_event event{};
                event.data.fd = m_listener;
                epoll_ctl(m_epoll, EPOLL_CTL_MOD, m_listener, &event);
                m_listenerPaused = true;
            }
            return;
        }
        std::string peer = addressText(address);
        std::string key = m_limits.trustProxy ? std::string() : RateLimiter::addressKey(peer);
        std::string network = m_limits.trustProxy ? std::string() : RateLimiter::networkKey(peer);
        if (!admitConnection(key, network)) {
            ::close(fd);
            continue;
        }
        if (!key.empty())
            ++m_perAddress[key];
        if (!network.empty())
            ++m_perNetwork[network];
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->serial = ++m_serial;
        connection->peer = std::move(peer);
        connection->addressKey = std::move(key);
        connection->networkKey = std::move(network);
        connection->deadline = Clock::now() + m_limits.timeout;
        watch(*connection, EPOLLIN | EPOLLRDHUP);
        m_connections.emplace(fd, std::move(connection));
    }
}

bool HttpServer::admitConnection(const std::string &addressKey, const std::string &networkKey)
{
    const auto full = [](const auto &counts, const std::string &key, std::size_t limit) {
        if (key.empty() || limit == 0)
            return false;
        const auto found = counts.find(key);
        return found != counts.end() && found->second >= limit;
    };
    if (full(m_perAddress, addressKey, m_limits.maxPerAddress)
        || full(m_perNetwork, networkKey, m_limits.maxPerNetwork))
        return false;
    if (m_connections.size() < m_limits.maxConnections)
        return true;
    // Every connection is taken: the ones that have waited longest for a request make room,
    // a few at a time, so that connections held open by many addresses cannot lock
    // everyone out.
    std::vector<Connection *> waiting;
    for (const auto &[fd, connection] : m_connections) {
        if (connection->state == State::reading || connection->state == State::closing)
            waiting.push_back(connection.get());
    }
    const std::size_t count = std::min(waiting.size(), m_limits.maxConnections / 64 + 1);
    std::nth_element(
        waiting.begin(), waiting.begin() + std::ptrdiff_t(count), waiting.end(),
        [](const Connection *a, const Connection *b) { return a->deadline < b->deadline; });
    for (std::size_t i = 0; i < count; ++i)
        close(*waiting[i]);
    return m_connections.size() < m_limits.maxConnections;
}

void HttpServer::onReadable(Connection &connection)
{
    // Whole requests left from the previous turn go first.
    if (connection.state == State::reading && !connection.in.empty())
        take(connection);
    char buffer[16 * 1024];
    std::size_t budget = m_limits.bytesPerTurn;
    while (connection.fd >= 0 && budget > 0
           && (connection.state == State::reading || connection.state == State::closing)) {
        // Enough for any request is waiting already: the rest stays in the socket.
        if (connection.state == State::reading
            && connection.in.size() >= m_limits.maxHead + m_limits.maxBody)
            return;
        const ssize_t count = recv(connection.fd, buffer, std::min(sizeof buffer, budget), 0);
        if (count > 0 && connection.state == State::closing) {
            budget -= std::size_t(count);
            connection.discarded += std::size_t(count);
            if (connection.discarded > maxDiscarded)
                close(connection);
        } else if (count > 0) {
            budget -= std::size_t(count);
            if (!mayHold(connection, std::size_t(count)))
                return refuse(connection, 503, "busy, try later");
            connection.in.append(buffer, std::size_t(count));
            account(connection);
            take(connection);
            if (connection.unfinished)
                return;
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            // The client is gone, or has finished without a whole request.
            close(connection);
        }
    }
}

void HttpServer::take(Connection &connection)
{
    if (connection.turn != m_turn) {
        connection.turn = m_turn;
        connection.taken = 0;
    }
    while (connection.fd >= 0 && connection.state == State::reading) {
        if (connection.taken >= m_limits.requestsPerTurn) {
            if (!connection.unfinished)
                m_unfinishedTurns.emplace_back(connection.fd, connection.serial);
            connection.unfinished = true;
            break;
        }
        if (!connection.head) {
            const auto end = connection.in.find("\r\n\r\n", connection.scanned);
            if (end == std::string::npos) {
                // A slow client's head is not searched again from its start at every read.
                connection.scanned = connection.in.size() > 3 ? connection.in.size() - 3 : 0;
                if (connection.in.size() > m_limits.maxHead)
                    refuse(connection, 431, "request headers too large");
                break;
            }
            connection.scanned = 0;
            if (end + 4 > m_limits.maxHead)
                return refuse(connection, 431, "request headers too large");
            HttpHead head;
            if (const int status =
                    HttpHead::parse(std::string_view(connection.in).substr(0, end), head))
                return refuse(connection, status, "malformed request");
            if (head.chunked)
                return refuse(connection, 411, "send the body with a Content-Length");
            const std::size_t length = head.contentLength.value_or(0);
            if (length > m_limits.maxBody)
                return refuse(connection, 413,
                              "body larger than " + std::to_string(m_limits.maxBody) + " bytes");
            connection.in.erase(0, end + 4);
            // The body's room at once, rather than twice what it came to by doubling.
            connection.in.reserve(length);
            if (head.expectContinue && connection.in.size() < length) {
                constexpr std::string_view goOn = "HTTP/1.1 100 Continue\r\n\r\n";
                // Tiny and first on the connection: the socket buffer takes it whole.
                [[maybe_unused]] const auto sent =
                    ::send(connection.fd, goOn.data(), goOn.size(), MSG_NOSIGNAL);
            }
            connection.head = std::move(head);
        }
        const std::size_t length = connection.head->contentLength.value_or(0);
        if (connection.in.size() < length)
            break;
        ++connection.taken;
        // Behind the proxy its X-Real-IP names the client, when it is an address at all.
        const std::string &realIp = connection.head->realIp;
        HttpRequest request{connection.head->method, connection.head->path,
                            connection.in.substr(0, length),
                            m_limits.trustProxy && isAddress(realIp) ? realIp : connection.peer};
        connection.in.erase(0, length);
        bool keepAlive = connection.head->keepAlive;
        connection.head.reset();
        const bool headOnly = request.method == "HEAD";
        if (!m_admit(request.address)) {
            // A client that goes on regardless is not worth reading any longer.
            keepAlive = keepAlive && ++connection.refusedInRow < m_limits.maxRefusedInRow;
            send(connection,
                 serialize(error(429, "too many requests, try later"), keepAlive, headOnly),
                 keepAlive);
            continue;
        }
        connection.refusedInRow = 0;
        std::unique_lock lock(m_lock);
        if (m_jobs.size() >= m_limits.maxQueued) {
            lock.unlock();
            send(connection, serialize(error(503, "busy, try later"), keepAlive, headOnly),
                 keepAlive);
            continue;
        }
        const auto now = Clock::now();
        m_jobs.push_back({connection.fd, connection.serial, std::move(request), keepAlive, now});
        lock.unlock();
        m_jobReady.notify_one();
        connection.state = State::working;
        connection.deadline = now + m_limits.queueTimeout + m_limits.timeout;
        watch(connection, 0);
    }
    if (connection.fd >= 0)
        account(connection);
}

void HttpServer::refuse(Connection &connection, int status, std::string_view message)
{
    send(connection, serialize(error(status, message), false), false);
}

void HttpServer::send(Connection &connection, std::string bytes, bool keepAlive)
{
    connection.out = std::move(bytes);
    connection.sent = 0;
    connection.keepAlive = keepAlive;
    connection.state = State::writing;
    connection.deadline = Clock::now() + m_limits.timeout;
    onWritable(connection);
}

void HttpServer::onWritable(Connection &connection)
{
    while (connection.sent < connection.out.size()) {
        const ssize_t count = ::send(connection.fd, connection.out.data() + connection.sent,
                                     connection.out.size() - connection.sent, MSG_NOSIGNAL);
        if (count > 0) {
            connection.sent += std::size_t(count);
        } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            watch(connection, EPOLLOUT);
            return;
        } else if (!(count < 0 && errno == EINTR)) {
            close(connection);
            return;
        }
    }
    finish(connection);
}

void HttpServer::finish(Connection &connection)
{
    std::string().swap(connection.out);
    if (!connection.keepAlive) {
        // Close our side first and let the client read the answer; whatever it still sends
        // is read and dropped until it closes, for a short while.
        shutdown(connection.fd, SHUT_WR);
        release(connection.in);
        account(connection);
        connection.head.reset();
        connection.state = State::closing;
        connection.deadline =
            Clock::now() + std::min<std::chrono::milliseconds>(m_limits.timeout, lingerTime);
    } else {
        connection.state = State::reading;
        connection.deadline = Clock::now() + m_limits.timeout;
        if (connection.in.capacity() > 2 * m_limits.maxHead) {
            m_freed += connection.in.capacity();
            connection.in.shrink_to_fit();
        }
    }
    watch(connection, EPOLLIN | EPOLLRDHUP);
}

void HttpServer::collectDone()
{
    std::vector<Done> done;
    {
        const std::lock_guard guard(m_lock);
        done.swap(m_done);
    }
    for (Done &each : done) {
        const auto found = m_connections.find(each.fd);
        // The client may have gone, or been answered 503 for waiting too long.
        if (found == m_connections.end() || found->second->serial != each.serial
            || found->second->state != State::working)
            continue;
        Connection &connection = *found->second;
        send(connection, std::move(each.bytes), each.keepAlive);
        // A pipelined request may be waiting already.
        if (connection.fd >= 0 && connection.state == State::reading && !connection.in.empty())
            take(connection);
    }
}

void HttpServer::expire()
{
    const auto now = Clock::now();
    std::vector<Job> stale;
    {
        const std::lock_guard guard(m_lock);
        while (!m_jobs.empty() && now - m_jobs.front().queued > m_limits.queueTimeout) {
            stale.push_back(std::move(m_jobs.front()));
            m_jobs.pop_front();
        }
    }
    const auto busy = [this](Connection &connection, bool headOnly) {
        send(connection, serialize(error(503, "busy, try later"), false, headOnly), false);
    };
    for (const Job &job : stale) {
        const auto found = m_connections.find(job.fd);
        if (found != m_connections.end() && found->second->serial == job.serial
            && found->second->state == State::working)
            busy(*found->second, job.request.method == "HEAD");
    }
    std::vector<Connection *> late;
    for (const auto &[fd, connection] : m_connections) {
        if (connection->deadline < now)
            late.push_back(connection.get());
    }
    // A request that a worker has held too long (a database that does not answer) is
    // answered all the same; the worker's answer, when it comes, is dropped.
    for (Connection *connection : late) {
        if (connection->state == State::working)
            busy(*connection, false);
        else
            close(*connection);
    }
    if (m_freed > trimAfter) {
        malloc_trim(0);
        m_freed = 0;
    }
}

void HttpServer::account(Connection &connection)
{
    const std::size_t held = connection.in.size();
    if (held == connection.held)
        return;
    m_held = m_held - connection.held + held;
    for (const std::string *key : {&connection.addressKey, &connection.networkKey}) {
        if (key->empty())
            continue;
        std::size_t &bytes = m_heldBy[*key];
        bytes = bytes - connection.held + held;
        if (bytes == 0)
            m_heldBy.erase(*key);
    }
    connection.held = held;
}

bool HttpServer::mayHold(const Connection &connection, std::size_t more) const
{
    const auto within = [&](const std::string &key, std::size_t limit) {
        if (key.empty())
            return true;
        const auto found = m_heldBy.find(key);
        return (found == m_heldBy.end() ? 0 : found->second) + more <= limit;
    };
    return m_held + more <= m_limits.maxHeldBytes
           && within(connection.addressKey, m_limits.maxHeldPerAddress)
           && within(connection.networkKey, m_limits.maxHeldPerNetwork);
}

void HttpServer::release(std::string &bytes)
{
    m_freed += bytes.capacity();
    std::string().swap(bytes);
}

void HttpServer::watch(Connection &connection, std::uint32_t events)
{
    if (connection.events == events)
        return;
    epoll_event event{};
    event.events = events;
    event.data.fd = connection.fd;
    const int operation = connection.events == 0 ? EPOLL_CTL_ADD
                          : events == 0          ? EPOLL_CTL_DEL
                                                 : EPOLL_CTL_MOD;
    epoll_ctl(m_epoll, operation, connection.fd, &event);
    connection.events = events;
}

void HttpServer::close(Connection &connection)
{
    watch(connection, 0);
    ::close(connection.fd);
    const auto found = m_connections.find(connection.fd);
    connection.fd = -1;
    release(connection.in);
    release(connection.out);
    account(connection);
    for (auto [counts, key] : {std::pair(&m_perAddress, &connection.addressKey),
                               std::pair(&m_perNetwork, &connection.networkKey)}) {
        if (const auto held = counts->find(*key); held != counts->end() && --held->second == 0)
            counts->erase(held);
    }
    m_closed.push_back(std::move(found->second));
    m_connections.erase(found);
    if (m_listenerPaused) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = m_listener;
        epoll_ctl(m_epoll, EPOLL_CTL_MOD, m_listener, &event);
        m_listenerPaused = false;
    }
}
