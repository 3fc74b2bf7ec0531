// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/HttpRequest.h"

#include <QString>

class SpeedTestEngine;

// Why a test ended without a result, as far as its requests tell.
struct TestFailure
{
    enum class Kind { refused, timeout, dns, connection, certificate, status, unknown };

    Kind kind = Kind::unknown;
    // The status of the answer that ended it; 0 without one.
    long status = 0;

    // Statuses by which a service refuses to serve this connection at all.
    static constexpr bool refusesTest(long status) { return status == 403 || status == 429; }

    // The failure of the engine's last test, from its phases' reports: a refusal in any
    // phase first, else the first phase's own failure.
    static TestFailure of(const SpeedTestEngine &engine);
    static TestFailure from(const HttpOutcome &outcome);

    // "refused", "timeout", "dns", "connection", "certificate", "status" or "unknown".
    QString name() const;
};
