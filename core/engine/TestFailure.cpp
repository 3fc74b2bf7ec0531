// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/TestFailure.h"

#include "engine/SpeedTestEngine.h"

TestFailure TestFailure::of(const SpeedTestEngine &engine)
{
    using Phase = SpeedTestEngine::Phase;
    constexpr Phase phases[] = {Phase::ping, Phase::download, Phase::upload};
    for (const Phase phase : phases) {
        const auto &failure = engine.report(phase).failure;
        if (failure && refusesTest(failure->status))
            return {Kind::refused, failure->status};
    }
    for (const Phase phase : phases) {
        if (const auto &failure = engine.report(phase).failure)
            return from(*failure);
    }
    return {};
}

TestFailure TestFailure::from(const HttpOutcome &outcome)
{
    if (outcome.status != 0 && !outcome.isSuccessStatus())
        return {refusesTest(outcome.status) ? Kind::refused : Kind::status, outcome.status};
    switch (outcome.failure) {
    case HttpFailure::timedOut:
        return {Kind::timeout};
    case HttpFailure::nameNotResolved:
        return {Kind::dns};
    case HttpFailure::certificateRejected:
        return {Kind::certificate};
    case HttpFailure::refused:
    case HttpFailure::unreachable:
    case HttpFailure::other:
        return {Kind::connection};
    case HttpFailure::none:
        break;
    }
    return {};
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
