#pragma once

#include "platform/HttpRequest.h"

#include <QByteArrayView>
#include <QPointer>
#include <QString>

#include <curl/curl.h>

#include <functional>
#include <memory>

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
    // Request body bytes went out: those since the previous report, and the running total.
    std::function<void(qint64 bytesSent, qint64 totalBytesSent)> onSend;
    std::function<void(const HttpOutcome &outcome)> onComplete;

    void start();
    // Stops the transfer; the task then completes promptly with a cancellation error.
    void cancel();

    State state() const { return m_state; }
    const HttpOutcome &outcome() const { return m_outcome; }
    const HttpRequest &request() const { return m_request; }

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

    static size_t receive(char *data, size_t size, size_t count, void *task);
    static int progress(void *task, curl_off_t downTotal, curl_off_t downNow, curl_off_t upTotal,
                        curl_off_t upNow);

    QPointer<HttpSession> m_session;
    HttpRequest m_request;
    CURL *m_easy = nullptr;
    curl_slist *m_headers = nullptr;
    char m_errorText[256] = {};
    State m_state = State::created;
    bool m_cancelRequested = false;
    bool m_inMulti = false;
    qint64 m_sent = 0;
    HttpOutcome m_outcome;
};
