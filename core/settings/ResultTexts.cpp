#include "settings/ResultTexts.h"

#include "settings/SpeedSettings.h"

#include <QStringList>

#include <cmath>

namespace ResultTexts {

QString hourText(const SpeedTestEngine::Result &result)
{
    return result.dateTime().toLocalTime().toString(QStringLiteral("HH:mm"));
}

QString latencyText(double ms)
{
    // std::round rounds halves away from zero.
    return QString::number(std::round(ms), 'f', 0) + QStringLiteral(" ms");
}

QString historyLine(const SpeedTestEngine::Result &result)
{
    return hourText(result) + QStringLiteral("   ↓ ") + SpeedSettings::format(result.down())
           + QStringLiteral("   ↑ ") + SpeedSettings::format(result.up()) + QStringLiteral("   ")
           + latencyText(result.ping());
}

QString historyText(const QList<SpeedTestEngine::Result> &history)
{
    if (history.isEmpty())
        return QStringLiteral("Aucun test pour l'instant");
    QStringList lines;
    for (const auto &result : history.first(std::min<qsizetype>(history.size(), historyLines)))
        lines.append(historyLine(result));
    return lines.join(u'\n');
}

} // namespace ResultTexts
