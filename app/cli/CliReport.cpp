#include "CliReport.h"

#include "settings/ResultTexts.h"
#include "settings/SpeedSettings.h"

#include <charconv>
#include <cmath>

namespace {

QByteArray jsonNumber(double value)
{
    if (!std::isfinite(value))
        return QByteArrayLiteral("null");
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    return QByteArray(buffer, written.ptr - buffer);
}

QString rateText(double mbps)
{
    return SpeedSettings::format(mbps) + u' ' + SpeedSettings::unitLabel();
}

// The reason in words, when the failure is one a user can act on; empty otherwise.
QString failureReason(const HttpOutcome &failure)
{
    switch (failure.failure) {
    case HttpFailure::refused:
        return QStringLiteral("connexion refusée");
    case HttpFailure::unreachable:
        return QStringLiteral("serveur injoignable");
    case HttpFailure::nameNotResolved:
        return QStringLiteral("nom d'hôte introuvable");
    case HttpFailure::certificateRejected:
        return QStringLiteral("certificat du serveur refusé");
    case HttpFailure::timedOut:
        return QStringLiteral("délai d'attente dépassé");
    case HttpFailure::none:
        return QStringLiteral("le serveur a répondu HTTP %1").arg(failure.status);
    case HttpFailure::other:
        break;
    }
    return {};
}

} // namespace

namespace CliReport {

QString text(const SpeedTestEngine::Result &result)
{
    return QStringLiteral("Ping : %1\nDescente : %2\nMontée : %3\n")
        .arg(ResultTexts::latencyText(result.ping()), rateText(result.down()),
             rateText(result.up()));
}

QByteArray json(const SpeedTestEngine::Result &result, int streamsDown, int streamsUp)
{
    const QByteArray date = result.dateTime().toString(Qt::ISODateWithMs).toUtf8();
    return "{\"date\": \"" + date + "\", \"down\": " + jsonNumber(result.down())
           + ", \"up\": " + jsonNumber(result.up()) + ", \"ping\": " + jsonNumber(result.ping())
           + ", \"streamsDown\": " + QByteArray::number(streamsDown)
           + ", \"streamsUp\": " + QByteArray::number(streamsUp) + "}\n";
}

QString progressText(SpeedTestEngine::Phase phase, double mbps)
{
    switch (phase) {
    case SpeedTestEngine::Phase::ping:
        return QStringLiteral("Ping…");
    case SpeedTestEngine::Phase::download:
        return QStringLiteral("Descente… ") + rateText(mbps);
    case SpeedTestEngine::Phase::upload:
        return QStringLiteral("Montée… ") + rateText(mbps);
    case SpeedTestEngine::Phase::idle:
        break;
    }
    return {};
}

QString failureText(const HttpOutcome &failure)
{
    const QString reason = failureReason(failure);
    if (reason.isEmpty())
        return QStringLiteral("Cause : ") + failure.error;
    if (failure.error.isEmpty())
        return QStringLiteral("Cause : ") + reason;
    return QStringLiteral("Cause : %1 (%2)").arg(reason, failure.error);
}

} // namespace CliReport
