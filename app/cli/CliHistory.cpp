// SPDX-License-Identifier: GPL-3.0-or-later
#include "CliHistory.h"

#include "CliCsv.h"
#include "CliReport.h"

#include "settings/ResultTexts.h"

namespace CliHistory {

QString text(const QList<SpeedTestEngine::Result> &history)
{
    if (history.isEmpty())
        return ResultTexts::noHistoryText + u'\n';
    QString lines;
    for (const SpeedTestEngine::Result &result : history)
        lines += result.dateTime().toLocalTime().toString(QStringLiteral("yyyy-MM-dd "))
                 + ResultTexts::historyLine(result) + u'\n';
    return lines;
}

QByteArray json(const QList<SpeedTestEngine::Result> &history)
{
    QByteArrayList objects;
    for (const SpeedTestEngine::Result &result : history)
        objects.append(CliReport::object(result));
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
