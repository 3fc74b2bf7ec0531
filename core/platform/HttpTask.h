// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/HttpRequest.h"

#include <QByteArrayView>
#include <QPointer>
#include <QString>

#include <curl/curl.h>

#include <functional>
#include <memory>
#include <optional>

class HttpSession;

// One transfer of an HttpSession. Made by HttpSession::task(), not started; every
// callback comes on the main thread, and onComplete comes exactly once for a task that
// was started, with or without an error, and never from inside start() or cancel().
class HttpTask : public std::enable_shared_from_this<HttpTask>
{
public:
    enum class State { created, running, finished };

    ~HttpTask();
    HttpTask(const HttpTask &) = delete;
    HttpTask &operator=(const HttpTask &) = delete;

    // A chunk of the response body arrived. The view is valid only during the call; the
    // task keeps nothing of the body.
    std::function<void(QByteArrayView chunk)> onReceive;
    std::function<void(const HttpOutcome &outcome)> onComplete;

    void start();
    // Stops the transfer; the task then completes promptly with a cancellation error.
    void cancel();

    State state() const { return m_state; }
    const HttpOutcome &outcome() const { return m_outcome; }
    const HttpRequest &request() const { return m_request; }
    // The status of the answer once its head has arrived, 0 before.
    long status() const;
    // The value of a header of the answer (the first, when repeated), once its head has
    // arrived; absent before, or when the answer has none.
    std::optional<QByteArray> responseHeader(const char *name) const;

    // Request body bytes the server has received: what the kernel says the peer
    // acknowledged on the connection since this request began, selectively acknowledged
    // segments included (TcpCounters::delivered()), less the request's head (a connection
    // that carries one request at a time, as with HTTP/1.1).
    // Bytes handed over are not bytes delivered: the socket's buffer and the queues on
    // the way hold megabytes on a slow uplink. Asks the socket when called while the
    // transfer runs, and once more when the connection leaves the transfer, before curl
    // closes it: a socket reset by the peer still tells what the peer had acknowledged.
    // So a transfer whose connection broke counts what got through, a completed one counts
    // every byte sent, a request curl sent again counts what each attempt delivered, and
    // nothing acknowledged after cancel() counts. Where the socket cannot be asked, the
    // bytes handed over.
    qint64 bodyBytesAcknowledged();
    // TcpCounters::receivedPerRoundTripAtLimit() of the task's connection; absent while
    // it has none.
    std::optional<quint32> receivedPerRoundTripAtLimit() const;
    // TcpCounters::congestionControl() of the task's connection; absent while it has none.
    std::optional<QByteArray> congestionControl() const;
    // TcpCounters::retransmitted() of the task's connection; absent while it has none.
    std::optional<quint32> retransmitted() const;
    // The most the connection's sender may pace this request at, in bytes per second
    // (TcpPacing); the connection goes back to its own pace when the transfer lets go of it.
    void limitPacing(quint64 bytesPerSecond);
    // TcpCounters::pacingLimit() of the task's connection; absent while it has none.
    std::optional<quint64> pacingLimit() const;

private:
    friend class HttpSession;
    struct Key
    {};

public:
    HttpTask(Key, HttpSession *session, HttpRequest request);

private:
    bool configure();
    void complete(HttpOutcome outcome);
    void completeLater(HttpOutcome outcome);
    void finishTransfer(int curlCode);
    // The connection's socket is this transfer's from now on; streamMark, when known, is
    // what had been written on it before this request.
    void attachSocket(curl_socket_t socket, std::optional<quint64> streamMark);
    void detachSocket(curl_socket_t socket);
    void countAcknowledged();
    // Sets this transfer's pacing limit, when it has one, on the socket it goes out on, and
    // takes it off again.
    void applyPacingLimit(curl_socket_t socket);
    void clearPacingLimit();
    // The transfer's connection's socket, asked of curl before the socket callbacks tell it.
    curl_socket_t activeSocket() const;

    static size_t receive(char *data, size_t size, size_t count, void *task);
    static int progress(void *task, curl_off_t downTotal, curl_off_t downNow, curl_off_t upTotal,
                        curl_off_t upNow);
    static int socketOpened(void *task, curl_socket_t socket, curlsocktype purpose);
    static int requestBegins(void *task, char *, char *, int, int);

    QPointer<HttpSession> m_session;
    HttpRequest m_request;
    CURL *m_easy = nullptr;
    curl_slist *m_headers = nullptr;
    char m_errorText[256] = {};
    State m_state = State::created;
    bool m_cancelRequested = false;
    bool m_inMulti = false;
    qint64 m_sent = 0;
    // The socket of the connection while this transfer uses it.
    curl_socket_t m_socket = CURL_SOCKET_BAD;
    // The connection is ready and the request about to go out on it.
    bool m_requestBegun = false;
    // The stream's written count just before this request; absent while unknown.
    std::optional<quint64> m_streamStart;
    // Acknowledged in this attempt at the request, and in the attempts before it.
    qint64 m_acknowledged = 0;
    qint64 m_acknowledgedBefore = 0;
    std::optional<quint64> m_pacingLimit;
    // The socket that carries the limit now.
    curl_socket_t m_pacedSocket = CURL_SOCKET_BAD;
    HttpOutcome m_outcome;
};
