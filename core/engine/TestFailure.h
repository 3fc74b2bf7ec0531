// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/HttpRequest.h"

#include <QString>

#include <optional>

class SpeedTestEngine;

// Why a test ended without a result, as far as its requests tell.
struct TestFailure
{
    enum class Kind { refused, timeout, dns, connection, certificate, status, unknown };

    Kind kind = Kind::unknown;
    // The status of the answer that ended it; 0 without one.
    long status = 0;
    // The request it comes from, when one failed.
    std::optional<HttpOutcome> outcome = {};

    // Statuses by which a service refuses to serve this connection at all.
    static constexpr bool refusesTest(long status) { return status == 403 || status == 429; }

    // The failure of the engine's last test, from its phases' reports: a refusal in any
    // phase first, else the failure of the phase that ended the test.
    static TestFailure of(const SpeedTestEngine &engine);
    static TestFailure from(const HttpOutcome &outcome);

    // "refused", "timeout", "dns", "connection", "certificate", "status" or "unknown".
    QString name() const;
};
