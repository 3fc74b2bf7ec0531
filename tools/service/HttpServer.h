// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "HttpHead.h"
#include "platform/ServiceLimits.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

struct HttpRequest
{
    std::string method; // HEAD is answered without the body
    std::string path;
    std::string body;
    std::string address; // the client's, or the proxy's X-Real-IP when trusted
};

struct HttpResponse
{
    int status = 200;
    std::string body; // JSON
    std::vector<std::pair<std::string, std::string>> headers;
};

struct HttpLimits
{
    std::size_t maxHead = 8 * 1024;
    std::size_t maxBody = ServiceLimits::requestBodyBytes;
    // A connection must bring a whole request within this time, counted from its opening
    // or from the previous answer; the same bounds writing an answer.
    std::chrono::milliseconds timeout{10000};
    int workers = 8;
    std::size_t maxConnections = 4096;
    // Open connections from one address (IPv6: one /64) at most, so that one client cannot
    // take the connections everyone else needs; and from one IPv6 /48, which one client may
    // hold whole too. Not counted behind a proxy, whose connections all come from one
    // address. 0: no limit.
    std::size_t maxPerAddress = 32;
    std::size_t maxPerNetwork = 256;
    // The bytes that unfinished requests may hold together; past them the request being
    // read is refused with 503.
    std::size_t maxHeldBytes = 64 * 1024 * 1024;
    // Of those, what the connections of one address (IPv6: one /64) and of one IPv6 /48 may
    // hold together, so that a few clients cannot fill them for everyone. Not counted
    // behind a proxy, which reads whole requests before it hands them on.
    std::size_t maxHeldPerAddress = 1024 * 1024;
    std::size_t maxHeldPerNetwork = 4 * 1024 * 1024;
    // Requests waiting for a worker beyond this get 503 at once; one that waited longer
    // than queueTimeout gets it then.
    std::size_t maxQueued = 1024;
    std::chrono::milliseconds queueTimeout{5000};
    // What one connection may have done in one turn of the loop before the others get
    // theirs: so that a client streaming requests answered without a worker (429, 503)
    // cannot keep everyone else waiting.
    std::size_t requestsPerTurn = 4;
    std::size_t bytesPerTurn = 32 * 1024;
    // Connections taken from the listen queue in one turn. Without a bound, clients that
    // reconnect as fast as they are turned away (past their address's share) keep the queue
    // from ever running dry, and the loop never gets back to the connections it holds.
    std::size_t acceptsPerTurn = 64;
    // A connection answered 429 this many times in a row is closed after the last.
    int maxRefusedInRow = 16;
    bool trustProxy = false;
};

// A small HTTP/1.1 server: one thread reads every connection with epoll, so that idle or
// slow clients cost a few hundred bytes each and never hold a worker; whole requests go
// to a pool of workers that run the handler. Bodies must come with a Content-Length no
// larger than the limit: a larger one is refused before any of it is read.
class HttpServer
{
public:
    // Called on a worker thread, with the worker's index (0 .. workers - 1).
    using Handler = std::function<HttpResponse(const HttpRequest &, int worker)>;
    // Called on the reading thread before a request is handed on; false answers 429.
    using Admission = std::function<bool(const std::string &address)>;

    HttpServer(HttpLimits limits, Handler handler, Admission admit);
    ~HttpServer();

    // Listens on host:port; the bound port, or -1 with `error` set.
    int listen(const std::string &host, int port, std::string &error);
    // Serves until stop().
    void run();
    // Safe from any thread and from a signal handler.
    void stop();

    // Without the body for an answer to HEAD; its Content-Length says what GET would bring.
    static std::string serialize(const HttpResponse &response, bool keepAlive,
                                 bool headOnly = false);
    // {"ok": false, "error": message}
    static HttpResponse error(int status, std::string_view message);

private:
    enum class State { reading, working, writing, closing };
    struct Connection
    {
        int fd = -1;
        std::uint64_t serial = 0; // tells a closed connection's answer from its fd's next one
        std::string peer;
        std::string addressKey; // empty: not counted
        std::string networkKey; // IPv6 /48; empty: not counted
        State state = State::reading;
        std::string in;
        std::size_t held = 0; // of `in`, counted in m_held
        std::optional<HttpHead> head;
        std::size_t scanned = 0; // where the search for the end of the head goes on
        std::string out;
        std::size_t sent = 0;
        bool keepAlive = true;
        std::size_t discarded = 0;
        int refusedInRow = 0;
        std::uint64_t turn = 0; // the loop's turn that `taken` counts in
        std::size_t taken = 0;
        bool unfinished = false; // in m_unfinishedTurns
        std::uint32_t events = 0;
        std::chrono::steady_clock::time_point deadline;
    };
    struct Job
    {
        int fd;
        std::uint64_t serial;
        HttpRequest request;
        bool keepAlive;
        std::chrono::steady_clock::time_point queued;
    };
    struct Done
    {
        int fd;
        std::uint64_t serial;
        std::string bytes;
        bool keepAlive;
    };

    // Each of these may close the connection: its fd is then -1, and the object lives on
    // until the end of the loop's turn.
    // Takes waiting connections, at most acceptsPerTurn; the listener stays ready for the
    // next turn when more are left.
    void acceptSome();
    // Whether a new connection from these keys may come in; closes idle ones to make room
    // when every connection is taken.
    bool admitConnection(const std::string &addressKey, const std::string &networkKey);
    void onReadable(Connection &connection);
    void onWritable(Connection &connection);
    // Hands on every whole request read so far, or refuses it.
    void take(Connection &connection);
    void refuse(Connection &connection, int status, std::string_view message);
    void send(Connection &connection, std::string bytes, bool keepAlive);
    void finish(Connection &connection);
    void close(Connection &connection);
    void watch(Connection &connection, std::uint32_t events);
    void collectDone();
    // Answers 503 to requests that waited too long for a worker, and closes connections
    // past their deadline.
    void expire();
    // Keeps m_held and m_heldBy up to date with the connection's input.
    void account(Connection &connection);
    // Whether the connection may hold `more` bytes of input.
    bool mayHold(const Connection &connection, std::size_t more) const;
    void release(std::string &bytes);
    void work(int index);

    HttpLimits m_limits;
    Handler m_handler;
    Admission m_admit;
    int m_listener = -1;
    int m_epoll = -1;
    int m_wake = -1; // eventfd: a worker finished, or stop() was called
    std::atomic<bool> m_stopping{false};
    bool m_listenerPaused = false;
    std::unordered_map<int, std::unique_ptr<Connection>> m_connections;
    std::unordered_map<std::string, std::size_t> m_perAddress; // open connections by address key
    std::unordered_map<std::string, std::size_t> m_perNetwork;
    std::vector<std::unique_ptr<Connection>> m_closed;
    // Connections with whole requests still in their input when their turn ended.
    std::vector<std::pair<int, std::uint64_t>> m_unfinishedTurns;
    std::uint64_t m_serial = 0;
    std::uint64_t m_turn = 0;
    std::size_t m_held = 0;
    std::unordered_map<std::string, std::size_t> m_heldBy; // by address and network key
    std::size_t m_freed = 0; // bytes given back to the allocator since the last trim

    std::mutex m_lock;
    std::condition_variable m_jobReady;
    std::deque<Job> m_jobs;
    std::vector<Done> m_done;
    std::vector<std::thread> m_workers;
};
