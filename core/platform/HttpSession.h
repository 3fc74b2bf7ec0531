// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/HttpRequest.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <curl/curl.h>

#include <functional>
#include <memory>

class HttpTask;
class QSocketNotifier;

enum class HttpVersion { http1_1, http2 };
// The IP version host names resolve to.
enum class IpFamily { any, ipv4, ipv6 };

struct HttpSessionConfig
{
    // HTTP/2 is negotiated over TLS only; plain http stays on HTTP/1.1.
    HttpVersion version = HttpVersion::http1_1;
    // A PEM file of certificate authorities to trust instead of the system's.
    QString caFile;
    // Where requests leave from, in curl's form: "if!NAME" for a network interface,
    // "host!ADDRESS" for a local address; empty for the system's choice.
    QString source{};
    IpFamily family = IpFamily::any;
};

// A libcurl multi handle driven from the Qt event loop of the thread that made it: one
// pool of connections for every request made through it, reused between requests. It
// keeps no cookies, no cache and nothing on disk.
class HttpSession : public QObject
{
    Q_OBJECT

public:
    using Config = HttpSessionConfig;

    explicit HttpSession(Config config = {}, QObject *parent = nullptr);
    // Transfers still running are dropped without their completion callbacks.
    ~HttpSession() override;

    const Config &config() const { return m_config; }

    // A transfer for this request, not started yet.
    std::shared_ptr<HttpTask> task(HttpRequest request);

    // Performs one request and gives how it ended; the body of the answer is dropped.
    QCoro::Task<HttpOutcome> perform(HttpRequest request);
    // The same for a transfer made by task(), which its owner may cancel meanwhile.
    QCoro::Task<HttpOutcome> perform(std::shared_ptr<HttpTask> transfer);
    // Performs one request and keeps the body of the answer, up to bodyLimit bytes: a
    // longer body stops the transfer, which then fails with an empty body.
    QCoro::Task<HttpResponse> fetch(HttpRequest request, qsizetype bodyLimit);
    // The same for a transfer made by task(), which its owner may cancel meanwhile;
    // onProgress gets the bytes of the body received so far as they come.
    QCoro::Task<HttpResponse> fetch(std::shared_ptr<HttpTask> transfer, qsizetype bodyLimit,
                                    std::function<void(qsizetype received)> onProgress = {});

    int runningTransfers() const { return int(m_running.size()); }

private:
    friend class HttpTask;

    struct Watch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    bool add(const std::shared_ptr<HttpTask> &task);
    void remove(HttpTask *task);
    HttpTask *runningTask(CURL *easy) const;
    // Notes what has been written on a connection that no transfer uses any more.
    void markStream(curl_socket_t socket);
    // A new socket: nothing written on an earlier one with the same number applies to it.
    void forgetStream(curl_socket_t socket) { m_streamMarks.remove(socket); }
    void socketReady(curl_socket_t socket, int events);
    void timedOut();
    void collectFinished();
    void watch(curl_socket_t socket, int what);
    void unwatch(curl_socket_t socket);

    static int socketCallback(CURL *easy, curl_socket_t socket, int what, void *session, void *);
    static int timerCallback(CURLM *multi, long timeoutMs, void *session);

    Config m_config;
    CURLM *m_multi = nullptr;
    QTimer m_timer;
    QHash<curl_socket_t, Watch> m_watches;
    QHash<HttpTask *, std::shared_ptr<HttpTask>> m_running;
    // What had been written on each connection when its last transfer let go of it.
    QHash<curl_socket_t, quint64> m_streamMarks;
};
