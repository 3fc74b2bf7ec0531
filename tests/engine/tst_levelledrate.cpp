// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/LevelledRate.h"

#include <QTest>

#include <functional>

// Byte counts scripted as a rate over time, sampled as the engine's ticker samples them.
class TestLevelledRate : public QObject
{
    Q_OBJECT

    using RateAt = std::function<double(double seconds)>; // bytes per second

    static LevelledRate::Reading read(const RateAt &rate, double span)
    {
        LevelledRate levelled;
        constexpr double step = 0.01;
        double bytes = 0;
        for (double t = step; t <= span + step / 2; t += step) {
            bytes += rate(t) * step;
            // Every fifth of a second, as the ticker reads the phase's count.
            if (std::fmod(t + step / 2, 0.2) < step)
                levelled.add(t, qint64(bytes));
        }
        return levelled.reading(span, qint64(bytes));
    }

private slots:
    void readsTheLevelledPart_data()
    {
        QTest::addColumn<RateAt>("rate");
        QTest::addColumn<double>("expected");
        QTest::addColumn<bool>("levelled");
        constexpr double full = 100e6;
        QTest::newRow("steady") << RateAt([](double) { return full; }) << full << true;
        // Windows opening over three seconds of eight: the whole phase would read 81 %.
        QTest::newRow("ramp") << RateAt([](double t) { return t < 3 ? full * t / 3 : full; })
                              << full << true;
        // A token bucket's burst at ten times the rate for its first second: the whole
        // phase would read 212 %.
        QTest::newRow("burst") << RateAt([](double t) { return t < 1 ? 10 * full : full; }) << full
                               << true;
        // A stall after a loss, and the lump that makes up for it.
        QTest::newRow("stall and lump") << RateAt([](double t) {
            return t > 4 && t < 4.4 ? 0 : t >= 4.4 && t < 4.6 ? 3 * full : full;
        }) << full << true;
    }

    void readsTheLevelledPart()
    {
        QFETCH(RateAt, rate);
        QFETCH(double, expected);
        QFETCH(bool, levelled);
        const LevelledRate::Reading reading = read(rate, 8);
        QCOMPARE(reading.levelled, levelled);
        // Never above the rate the link kept, and within 3 % below it.
        QVERIFY2(reading.bytesPerSecond <= expected * 1.005,
                 qPrintable(QString::number(reading.bytesPerSecond)));
        QVERIFY2(reading.bytesPerSecond >= expected * 0.97,
                 qPrintable(QString::number(reading.bytesPerSecond)));
    }

    void fallsBackToTheWholePhase_data()
    {
        QTest::addColumn<RateAt>("rate");
        QTest::addColumn<double>("span");
        // Still climbing at the end: no part of it is level.
        QTest::newRow("never levels") << RateAt([](double t) { return 1e6 * t * t; }) << 8.0;
        // Level only for its last half-second, too short to stand for the phase.
        QTest::newRow("levels too late")
            << RateAt([](double t) { return t < 7.5 ? 1e6 * t : 7.5e6; }) << 8.0;
    }

    void fallsBackToTheWholePhase()
    {
        QFETCH(RateAt, rate);
        QFETCH(double, span);
        LevelledRate levelled;
        const LevelledRate::Reading reading = read(rate, span);
        QVERIFY(!reading.levelled);
        QCOMPARE(reading.fromSeconds, 0.0);
        double bytes = 0;
        for (double t = 0.01; t <= span + 0.005; t += 0.01)
            bytes += rate(t) * 0.01;
        QCOMPARE(qint64(reading.bytesPerSecond * span), qint64(bytes));
    }

    void ignoresSamplesThatCannotBeOneCount()
    {
        LevelledRate levelled;
        levelled.add(1, 1000);
        levelled.add(0.5, 2000); // back in time
        levelled.add(2, 500);    // fewer bytes
        levelled.add(2, 2000);   // no time passed
        const LevelledRate::Reading reading = levelled.reading(4, 4000);
        QVERIFY(reading.levelled);
        QCOMPARE(reading.bytesPerSecond, 1000.0);
        QCOMPARE(LevelledRate().reading(0, 1000).bytesPerSecond, 0.0);
    }
};

QTEST_GUILESS_MAIN(TestLevelledRate)
#include "tst_levelledrate.moc"
