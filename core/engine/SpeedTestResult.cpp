// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/SpeedTestEngine.h"

#include <QJsonValue>

#include <array>
#include <chrono>
#include <cmath>

namespace {

// The optional latencies, with their keys in the stored form.
using Latency = std::optional<double> SpeedTestEngine::Result::Latencies::*;
constexpr std::array<std::pair<const char16_t *, Latency>, 3> latencyKeys{{
    {u"loadedLatencyDown", &SpeedTestEngine::Result::Latencies::loadedDown},
    {u"loadedLatencyUp", &SpeedTestEngine::Result::Latencies::loadedUp},
    {u"jitter", &SpeedTestEngine::Result::Latencies::jitter},
}};

using Bytes = std::optional<qint64> SpeedTestEngine::Result::Volume::*;
constexpr std::array<std::pair<const char16_t *, Bytes>, 2> volumeKeys{{
    {u"bytesDown", &SpeedTestEngine::Result::Volume::down},
    {u"bytesUp", &SpeedTestEngine::Result::Volume::up},
}};
// The largest count a JSON number (a double) holds exactly.
constexpr double largestBytes = 9007199254740992.0;

} // namespace

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
    QJsonObject object{{QStringLiteral("date"), m_date},
                       {QStringLiteral("down"), m_down},
                       {QStringLiteral("up"), m_up},
                       {QStringLiteral("ping"), m_ping}};
    for (const auto &[key, member] : latencyKeys) {
        const std::optional<double> &value = m_latencies.*member;
        if (!value)
            continue;
        if (!std::isfinite(*value))
            return std::nullopt;
        object.insert(QStringView(key), *value);
    }
    for (const auto &[key, member] : volumeKeys) {
        if (const std::optional<qint64> &bytes = m_volume.*member)
            object.insert(QStringView(key), double(*bytes));
    }
    return object;
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
    Latencies latencies;
    for (const auto &[key, member] : latencyKeys) {
        const QJsonValue value = object.value(QStringView(key));
        if (value.isDouble() && value.toDouble() >= 0)
            latencies.*member = value.toDouble();
    }
    Volume volume;
    for (const auto &[key, member] : volumeKeys) {
        const double bytes = object.value(QStringView(key)).toDouble(-1);
        if (bytes >= 0 && bytes <= largestBytes && bytes == std::floor(bytes))
            volume.*member = qint64(bytes);
    }
    return Result(values[0], values[1], values[2], values[3], latencies, volume);
}
