#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QObject>

#include <optional>

// Runs one speed test at a time: latency, download, upload.
class SpeedTestEngine : public QObject
{
    Q_OBJECT

public:
    // The stage a running test is in, in the order a test passes through them.
    enum class Phase { idle, ping, download, upload };

    static constexpr bool isThroughputPhase(Phase phase)
    {
        return phase == Phase::download || phase == Phase::upload;
    }

    // The values of one completed test. Also the element of the stored history, so its
    // JSON form is a stored format: {"date": <seconds since 2001-01-01 00:00:00 UTC>,
    // "down": <Mbps>, "up": <Mbps>, "ping": <ms>}, all JSON numbers.
    class Result
    {
    public:
        // date: seconds (with fraction) since 2001-01-01 00:00:00 UTC.
        Result(double date, double down, double up, double ping)
            : m_date(date)
            , m_down(down)
            , m_up(up)
            , m_ping(ping)
        {}

        double date() const { return m_date; }
        double down() const { return m_down; }
        double up() const { return m_up; }
        double ping() const { return m_ping; }

        QDateTime dateTime() const;
        static double dateFrom(const QDateTime &dateTime);
        static double now();

        // Absent when a value is not a finite number, which JSON cannot carry.
        std::optional<QJsonObject> toJson() const;
        // Absent when a member is missing, null or not a number; other members are ignored.
        static std::optional<Result> fromJson(const QJsonValue &json);

        // 2001-01-01 00:00:00 UTC, in seconds since 1970.
        static constexpr double referenceEpoch = 978307200.0;

    private:
        double m_date;
        double m_down;
        double m_up;
        double m_ping;
    };

    using QObject::QObject;
};
