// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

// One HTTP request as the session sends it.
struct HttpRequest
{
    // "GET", "HEAD" or "POST".
    QByteArray method = QByteArrayLiteral("GET");
    QByteArray url;
    // An inactivity limit: the connection must be made within it, and the transfer fails
    // once it has moved less than one byte per second over that long.
    std::chrono::milliseconds timeout{15000};
    // Sent as is with a POST. QByteArray shares its data, so one large block can be the
    // body of many requests without a copy.
    QByteArray body;
    // The whole transfer, from the first connection to the last byte of the answer, must end
    // within it; zero leaves it to the inactivity limit alone, for transfers that their
    // owner bounds itself (a speed test's phase, a download the user can cancel).
    std::chrono::milliseconds deadline{0};
};

// Why a request got no answer, as far as the transport can tell.
enum class HttpFailure {
    none,
    refused,
    unreachable,
    nameNotResolved,
    certificateRejected,
    timedOut,
    // The connection broke, or the server closed it, before the answer was whole.
    interrupted,
    other
};

// How a request ended. A response with any status, 404 and 503 included, is a success
// of the transport; only a failure to get an answer is an error.
struct HttpOutcome
{
    bool ok = false;
    bool cancelled = false;
    long status = 0;
    HttpFailure failure = HttpFailure::none;
    // Connections opened for this request; 0 when it went over one already open.
    long newConnections = 0;
    QString error;

    bool isSuccessStatus() const { return isSuccessStatus(status); }
    static constexpr bool isSuccessStatus(long status) { return status >= 200 && status < 300; }
};

// An answer whose body was kept, as HttpSession::fetch gives it.
struct HttpResponse
{
    HttpOutcome outcome;
    QByteArray body;
};
