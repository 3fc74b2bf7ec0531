#include "TestSupport.h"

#include "engine/SpeedTestEngine.h"

#include <QJsonDocument>

#include <cmath>
#include <limits>

using Result = SpeedTestEngine::Result;

namespace {

quint64 bits(double value)
{
    return std::bit_cast<quint64>(value);
}

} // namespace

class TestResult : public QObject
{
    Q_OBJECT

private slots:
    void roundTripKeepsEveryBit_data()
    {
        QTest::addColumn<double>("date");
        QTest::addColumn<double>("down");
        QTest::addColumn<double>("up");
        QTest::addColumn<double>("ping");
        QTest::newRow("typical") << 818000000.123456789 << 93.41234567890123 << 12.000000000000002
                                 << 14.285714285714286;
        QTest::newRow("extremes") << -1e9 << std::numeric_limits<double>::max()
                                  << std::numeric_limits<double>::denorm_min() << 1e-300;
    }

    void roundTripKeepsEveryBit()
    {
        QFETCH(double, date);
        QFETCH(double, down);
        QFETCH(double, up);
        QFETCH(double, ping);
        const auto json = Result(date, down, up, ping).toJson();
        QVERIFY(json);
        QCOMPARE(json->size(), 4);
        // Through the text form, as the history stores it.
        const QByteArray text = QJsonDocument(*json).toJson(QJsonDocument::Compact);
        const auto back = Result::fromJson(QJsonDocument::fromJson(text).object());
        QVERIFY(back);
        QCOMPARE(bits(back->date()), bits(date));
        QCOMPARE(bits(back->down()), bits(down));
        QCOMPARE(bits(back->up()), bits(up));
        QCOMPARE(bits(back->ping()), bits(ping));
    }

    void zeroDateIsTheReferenceEpoch()
    {
        const auto zero = Result::fromJson(
            QJsonDocument::fromJson(R"({"date":0,"down":0,"up":0,"ping":0})").object());
        QVERIFY(zero);
        QCOMPARE(zero->dateTime(), QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));
        QCOMPARE(Result::dateFrom(QDateTime(QDate(2001, 1, 1), QTime(0, 0, 1, 500), Qt::UTC)), 1.5);
    }

    void refusesNonFiniteValues()
    {
        for (int field = 0; field < 4; ++field) {
            for (const double value : {std::nan(""), -HUGE_VAL}) {
                double values[4] = {1, 2, 3, 4};
                values[field] = value;
                QCOMPARE(Result(values[0], values[1], values[2], values[3]).toJson(), std::nullopt);
            }
        }
    }

    void decoding_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("integers, any order")
            << QByteArray(R"({"ping":4,"up":3,"down":2,"date":1})") << true;
        QTest::newRow("extra member")
            << QByteArray(R"({"date":1,"down":2,"up":3,"ping":4,"jitter":"x"})") << true;
        QTest::newRow("missing ping") << QByteArray(R"({"date":1,"down":2,"up":3})") << false;
        QTest::newRow("text down")
            << QByteArray(R"({"date":1,"down":"2","up":3,"ping":4})") << false;
        QTest::newRow("array") << QByteArray(R"([1,2,3,4])") << false;
    }

    void decoding()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, decodes);
        const QJsonDocument document = QJsonDocument::fromJson(json);
        const QJsonValue value =
            document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());
        const auto result = Result::fromJson(value);
        QCOMPARE(result.has_value(), decodes);
        if (decodes) {
            QCOMPARE(result->date(), 1.0);
            QCOMPARE(result->down(), 2.0);
            QCOMPARE(result->up(), 3.0);
            QCOMPARE(result->ping(), 4.0);
        }
    }
};

TACHORA_TEST_CORE_MAIN(TestResult)
#include "tst_result.moc"
