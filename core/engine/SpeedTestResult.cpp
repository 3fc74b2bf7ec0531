#include "engine/SpeedTestEngine.h"

#include <QJsonValue>

#include <array>
#include <chrono>
#include <cmath>

QDateTime SpeedTestEngine::Result::dateTime() const
{
    const double unixMs = (m_date + referenceEpoch) * 1000.0;
    if (!std::isfinite(unixMs))
        return {};
    return QDateTime::fromMSecsSinceEpoch(qint64(std::llround(unixMs)), Qt::UTC);
}

double SpeedTestEngine::Result::dateFrom(const QDateTime &dateTime)
{
    return double(dateTime.toMSecsSinceEpoch()) / 1000.0 - referenceEpoch;
}

double SpeedTestEngine::Result::now()
{
    using namespace std::chrono;
    const auto sinceUnix = duration<double>(system_clock::now().time_since_epoch());
    return sinceUnix.count() - referenceEpoch;
}

std::optional<QJsonObject> SpeedTestEngine::Result::toJson() const
{
    const std::array values{m_date, m_down, m_up, m_ping};
    for (double value : values) {
        if (!std::isfinite(value))
            return std::nullopt;
    }
    return QJsonObject{{QStringLiteral("date"), m_date},
                       {QStringLiteral("down"), m_down},
                       {QStringLiteral("up"), m_up},
                       {QStringLiteral("ping"), m_ping}};
}

std::optional<SpeedTestEngine::Result> SpeedTestEngine::Result::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    const QJsonObject object = json.toObject();
    std::array<double, 4> values{};
    const std::array keys{u"date", u"down", u"up", u"ping"};
    for (size_t i = 0; i < keys.size(); ++i) {
        const QJsonValue member = object.value(QStringView(keys[i]));
        if (!member.isDouble())
            return std::nullopt;
        values[i] = member.toDouble();
    }
    return Result(values[0], values[1], values[2], values[3]);
}
