// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/ResultTexts.h"

#include "settings/SpeedSettings.h"

#include <QStringList>
#include <QUrl>

#include <cmath>

namespace ResultTexts {

QString hourText(const SpeedTestEngine::Result &result)
{
    return result.dateTime().toLocalTime().toString(QStringLiteral("HH:mm"));
}

QString progressText(SpeedTestEngine::Phase phase, double mbps)
{
    const QString rate = SpeedSettings::format(mbps) + u' ' + SpeedSettings::unitLabel();
    switch (phase) {
    case SpeedTestEngine::Phase::ping:
        return QStringLiteral("Ping…");
    case SpeedTestEngine::Phase::download:
        return QStringLiteral("Descente… ") + rate;
    case SpeedTestEngine::Phase::upload:
        return QStringLiteral("Montée… ") + rate;
    case SpeedTestEngine::Phase::idle:
        break;
    }
    return {};
}

QString latencyText(double ms)
{
    // std::round rounds halves away from zero.
    return QString::number(std::round(ms), 'f', 0) + QStringLiteral(" ms");
}

namespace {

// The four values in a pattern, each absent one as `none`; empty when none was measured.
QString loadedLatencyValues(const SpeedTestEngine::Result &result, const QString &pattern,
                            const QString &none)
{
    const std::optional<Responsiveness::Grade> grade = result.grade();
    if (!result.loadedLatencyDown() && !result.loadedLatencyUp() && !result.jitter())
        return {};
    const auto latency = [&none](std::optional<double> ms) { return ms ? latencyText(*ms) : none; };
    return pattern.arg(latency(result.loadedLatencyDown()), latency(result.loadedLatencyUp()),
                       latency(result.jitter()), grade ? Responsiveness::gradeText(*grade) : none);
}

} // namespace

QString loadedLatencyText(const SpeedTestEngine::Result &result)
{
    return loadedLatencyValues(
        result, QStringLiteral("Latence en charge : ↓ %1 · ↑ %2 · gigue %3 · réactivité %4"),
        QStringLiteral("\u2014"));
}

QString loadedLatencySpokenText(const SpeedTestEngine::Result &result)
{
    return loadedLatencyValues(result,
                               QStringLiteral("descente %1, montée %2, gigue %3, réactivité %4"),
                               QStringLiteral("non mesurée"));
}

QString rateText(double mbps)
{
    return mbps > 0 ? SpeedSettings::format(mbps) : QStringLiteral("\u2014");
}

QString phaseFailedText(SpeedTestEngine::Phase phase, const std::optional<HttpOutcome> &failure)
{
    const QString what = phase == SpeedTestEngine::Phase::upload
                             ? QStringLiteral("Montée impossible")
                             : QStringLiteral("Descente impossible");
    const QString reason = failure ? failureReason(*failure) : QString();
    return reason.isEmpty() ? what : what + QStringLiteral(" : ") + reason;
}

QString previousText(const SpeedTestEngine::Result &result)
{
    return QStringLiteral("Précédent · ") + hourText(result);
}

QStringList historyCells(const SpeedTestEngine::Result &result)
{
    return {hourText(result), QStringLiteral("↓ ") + rateText(result.down()),
            QStringLiteral("↑ ") + rateText(result.up()), latencyText(result.ping())};
}

QString historyLine(const SpeedTestEngine::Result &result)
{
    return historyCells(result).join(QStringLiteral("   "));
}

QString summaryText(const SpeedTestEngine::Result &result)
{
    const auto rate = [](double mbps) {
        return mbps > 0 ? rateText(mbps) + u' ' + SpeedSettings::unitLabel() : rateText(mbps);
    };
    return QStringLiteral("↓ %1 · ↑ %2 · %3")
        .arg(rate(result.down()), rate(result.up()), latencyText(result.ping()));
}

QList<QStringList> historyRows(const QList<SpeedTestEngine::Result> &history)
{
    QList<QStringList> rows;
    for (const auto &result : history.first(std::min<qsizetype>(history.size(), historyLines)))
        rows.append(historyCells(result));
    return rows;
}

QString failureReason(const HttpOutcome &failure)
{
    switch (failure.failure) {
    case HttpFailure::refused:
        return QStringLiteral("connexion refusée");
    case HttpFailure::unreachable:
        return QStringLiteral("serveur injoignable");
    case HttpFailure::nameNotResolved:
        return QStringLiteral("nom d’hôte introuvable");
    case HttpFailure::certificateRejected:
        return QStringLiteral("certificat du serveur refusé");
    case HttpFailure::timedOut:
        return QStringLiteral("délai d’attente dépassé");
    case HttpFailure::interrupted:
        return QStringLiteral("connexion interrompue");
    case HttpFailure::none:
        return QStringLiteral("le serveur a répondu HTTP %1").arg(failure.status);
    case HttpFailure::other:
        break;
    }
    return {};
}

QString refusalText(const TestFailure &failure)
{
    if (failure.kind != TestFailure::Kind::refused)
        return {};
    return QStringLiteral("Le service de mesure refuse les requêtes de cette connexion (HTTP %1)")
        .arg(failure.status);
}

QString volumeText(qint64 bytes)
{
    const auto decimal = [](double value, int decimals, const char *unit) {
        return SpeedSettings::fixed(value, decimals) + u' ' + QLatin1String(unit);
    };
    const double value = double(std::max<qint64>(bytes, 0));
    if (value >= 9.95e9)
        return decimal(value / 1e9, 0, "Go");
    if (value >= 999.5e6)
        return decimal(value / 1e9, 1, "Go");
    if (value >= 999.5e3)
        return decimal(value / 1e6, 0, "Mo");
    return decimal(value / 1e3, 0, "ko");
}

QString serverText(const QString &origin)
{
    const QUrl url(origin);
    QString host = url.host();
    if (origin == SpeedTestConfig().host || host.isEmpty())
        return QStringLiteral("Cloudflare");
    if (host.contains(u':'))
        host = u'[' + host + u']';
    return url.port() == -1 ? host : host + u':' + QString::number(url.port());
}

QString noteText(const QString &serverName, std::optional<qint64> lastTestBytes)
{
    if (!lastTestBytes)
        return QStringLiteral("Test via %1 : volume selon le débit").arg(serverName);
    return QStringLiteral("Test via %1 : %2 échangés au dernier test")
        .arg(serverName, volumeText(*lastTestBytes));
}

} // namespace ResultTexts
