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
    std::string method;
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
    // take the connections everyone else needs. Not counted behind a proxy, whose
    // connections all come from one address.
    std::size_t maxPerAddress = 32;
    // Requests waiting for a worker beyond this get 503 at once.
    std::size_t maxQueued = 1024;
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

    static std::string serialize(const HttpResponse &response, bool keepAlive);
    // {"ok": false, "error": message}
    static HttpResponse error(int status, std::string_view message);

private:
    enum class State { reading, working, writing, closing };
    struct Connection
    {
        int fd = -1;
        std::string peer;
        std::string addressKey; // empty: not counted
        State state = State::reading;
        std::string in;
        std::optional<HttpHead> head;
        std::size_t scanned = 0; // where the search for the end of the head goes on
        std::string out;
        std::size_t sent = 0;
        bool keepAlive = true;
        std::size_t discarded = 0;
        std::uint32_t events = 0;
        std::chrono::steady_clock::time_point deadline;
    };
    struct Job
    {
        int fd;
        HttpRequest request;
        bool keepAlive;
    };
    struct Done
    {
        int fd;
        std::string bytes;
        bool keepAlive;
    };

    // Each of these may close the connection: its fd is then -1, and the object lives on
    // until the end of the loop's turn.
    void acceptAll();
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
    void expire();
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
    std::vector<std::unique_ptr<Connection>> m_closed;

    std::mutex m_lock;
    std::condition_variable m_jobReady;
    std::deque<Job> m_jobs;
    std::vector<Done> m_done;
    std::vector<std::thread> m_workers;
};
