// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/TestFailure.h"

#include "engine/SpeedTestEngine.h"

TestFailure TestFailure::of(const SpeedTestEngine &engine)
{
    using Phase = SpeedTestEngine::Phase;
    const auto &ping = engine.report(Phase::ping).failure;
    const auto &down = engine.report(Phase::download).failure;
    const auto &up = engine.report(Phase::upload).failure;
    for (const auto *failure : {&ping, &down, &up})
        if (*failure && refusesTest((*failure)->status))
            return from(**failure);
    // The phase that ended the test: the latency phase when the test went no further, else
    // the throughput phases, which then both moved nothing. A probe that timed out before
    // others answered does not explain them.
    const bool throughputRan = engine.streams(Phase::download) > 0 || down || up;
    const auto &failure = !throughputRan ? ping : down ? down : up;
    return failure ? from(*failure) : TestFailure{};
}

TestFailure TestFailure::from(const HttpOutcome &outcome)
{
    const auto kind = [&outcome] {
        if (outcome.status != 0 && !outcome.isSuccessStatus())
            return refusesTest(outcome.status) ? Kind::refused : Kind::status;
        switch (outcome.failure) {
        case HttpFailure::timedOut:
            return Kind::timeout;
        case HttpFailure::nameNotResolved:
            return Kind::dns;
        case HttpFailure::certificateRejected:
            return Kind::certificate;
        case HttpFailure::refused:
        case HttpFailure::unreachable:
        case HttpFailure::interrupted:
        case HttpFailure::other:
            return Kind::connection;
        case HttpFailure::none:
            break;
        }
        return Kind::unknown;
    };
    return {kind(), outcome.isSuccessStatus() ? 0 : outcome.status, outcome};
}

QString TestFailure::name() const
{
    switch (kind) {
    case Kind::refused:
        return QStringLiteral("refused");
    case Kind::timeout:
        return QStringLiteral("timeout");
    case Kind::dns:
        return QStringLiteral("dns");
    case Kind::connection:
        return QStringLiteral("connection");
    case Kind::certificate:
        return QStringLiteral("certificate");
    case Kind::status:
        return QStringLiteral("status");
    case Kind::unknown:
        break;
    }
    return QStringLiteral("unknown");
}
