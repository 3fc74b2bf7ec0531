// SPDX-License-Identifier: GPL-3.0-or-later
#include "CliReport.h"

#include "engine/TestFailure.h"
#include "settings/FrenchTypography.h"
#include "settings/ResultTexts.h"
#include "settings/SpeedSettings.h"

#include <charconv>
#include <cmath>

namespace {

QByteArray jsonNumber(double value)
{
    const QByteArray digits = CliReport::number(value);
    return digits.isEmpty() ? QByteArrayLiteral("null") : digits;
}

QByteArray optionalCount(std::optional<qint64> count)
{
    return count ? QByteArray::number(*count) : QByteArrayLiteral("null");
}

QString rateText(double mbps)
{
    return SpeedSettings::format(mbps) + u' ' + SpeedSettings::unitLabel();
}

} // namespace

namespace CliReport {

QString text(const SpeedTestEngine::Result &result)
{
    const auto shown = [](double mbps) {
        return mbps > 0 ? rateText(mbps) : QStringLiteral("\u2014");
    };
    QString text =
        QStringLiteral("Ping : %1\nDescente : %2\nMontée : %3\n")
            .arg(ResultTexts::latencyText(result.ping()), shown(result.down()), shown(result.up()));
    const QString loaded = ResultTexts::loadedLatencyText(result);
    if (!loaded.isEmpty())
        text += loaded + u'\n';
    return text;
}

namespace {

// A rate's digits, or null when there is none.
QByteArray rate(double mbps)
{
    return mbps > 0 ? jsonNumber(mbps) : QByteArrayLiteral("null");
}

// The members of a result's object, without its braces.
QByteArray members(const SpeedTestEngine::Result &result)
{
    const QByteArray date = result.dateTime().toString(Qt::ISODateWithMs).toUtf8();
    const auto optional = [](std::optional<double> value) {
        return value ? jsonNumber(*value) : QByteArrayLiteral("null");
    };
    const std::optional<Responsiveness::Grade> grade = result.grade();
    return "\"date\": \"" + date + "\", \"down\": " + rate(result.down())
           + ", \"up\": " + rate(result.up()) + ", \"ping\": " + jsonNumber(result.ping())
           + ", \"loadedLatencyDown\": " + optional(result.loadedLatencyDown())
           + ", \"loadedLatencyUp\": " + optional(result.loadedLatencyUp())
           + ", \"jitter\": " + optional(result.jitter()) + ", \"grade\": "
           + (grade ? '"' + Responsiveness::gradeText(*grade).toLatin1() + '"'
                    : QByteArrayLiteral("null"));
}

QByteArray bytes(const SpeedTestEngine::Result &result)
{
    return ", \"bytesDown\": " + optionalCount(result.bytesDown())
           + ", \"bytesUp\": " + optionalCount(result.bytesUp());
}

} // namespace

QByteArray json(const SpeedTestEngine::Result &result, int streamsDown, int streamsUp)
{
    return '{' + members(result) + ", \"streamsDown\": " + QByteArray::number(streamsDown)
           + ", \"streamsUp\": " + QByteArray::number(streamsUp) + bytes(result) + "}\n";
}

QByteArray object(const SpeedTestEngine::Result &result)
{
    return '{' + members(result) + bytes(result) + '}';
}

QByteArray failureJson(const TestFailure &failure, const SpeedTestEngine &engine)
{
    using Phase = SpeedTestEngine::Phase;
    return "{\"failure\": \"" + failure.name().toLatin1() + '"'
           + (failure.status ? ", \"status\": " + QByteArray::number(failure.status) : QByteArray())
           + ", \"bytesDown\": " + QByteArray::number(engine.report(Phase::download).bytes)
           + ", \"bytesUp\": " + QByteArray::number(engine.report(Phase::upload).bytes) + "}\n";
}

QByteArray number(double value)
{
    if (!std::isfinite(value))
        return {};
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    return QByteArray(buffer, written.ptr - buffer);
}

QString failureText(const HttpOutcome &failure)
{
    // The transport's words are shown as they are.
    const QString cause = ResultTexts::failureReason(failure);
    const QString reason = FrenchTypography::typeset(QStringLiteral("Cause : ") + cause);
    if (failure.error.isEmpty())
        return reason;
    return cause.isEmpty() ? reason + failure.error
                           : reason + QStringLiteral(" (") + failure.error + u')';
}

} // namespace CliReport
