// SPDX-License-Identifier: GPL-3.0-or-later
#include "CliHistory.h"

#include "CliCsv.h"
#include "CliReport.h"

#include "settings/FrenchTypography.h"
#include "settings/ResultTexts.h"

namespace CliHistory {

QByteArray text(const QList<SpeedTestEngine::Result> &history)
{
    if (history.isEmpty())
        return (ResultTexts::noHistoryText + u'\n').toUtf8();
    QString lines;
    for (const SpeedTestEngine::Result &result : history)
        lines += result.dateTime().toLocalTime().toString(QStringLiteral("yyyy-MM-dd "))
                 + ResultTexts::historyLine(result) + u'\n';
    return FrenchTypography::typeset(lines).toUtf8();
}

QByteArray json(const QList<SpeedTestEngine::Result> &history)
{
    const auto number = [](std::optional<double> value) {
        const QByteArray digits = value ? CliReport::number(*value) : QByteArray();
        return digits.isEmpty() ? QByteArrayLiteral("null") : digits;
    };
    QByteArrayList objects;
    for (const SpeedTestEngine::Result &result : history) {
        const std::optional<Responsiveness::Grade> grade = result.grade();
        objects.append("{\"date\": \"" + result.dateTime().toString(Qt::ISODateWithMs).toUtf8()
                       + "\", \"down\": " + number(result.down())
                       + ", \"up\": " + number(result.up()) + ", \"ping\": " + number(result.ping())
                       + ", \"loadedLatencyDown\": " + number(result.loadedLatencyDown())
                       + ", \"loadedLatencyUp\": " + number(result.loadedLatencyUp())
                       + ", \"jitter\": " + number(result.jitter()) + ", \"grade\": "
                       + (grade ? '"' + Responsiveness::gradeText(*grade).toLatin1() + '"'
                                : QByteArrayLiteral("null"))
                       + '}');
    }
    return '[' + objects.join(", ") + "]\n";
}

QByteArray csv(const QList<SpeedTestEngine::Result> &history)
{
    QByteArray lines;
    for (const SpeedTestEngine::Result &result : history)
        lines += CliCsv::line(result);
    return lines;
}

} // namespace CliHistory
