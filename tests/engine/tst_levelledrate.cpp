// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"

#include "engine/LevelledRate.h"

// Byte counts scripted as a rate over time, sampled as the engine's ticker samples them.
class TestLevelledRate : public QObject
{
    Q_OBJECT

    using RateAt = std::function<double(double seconds)>; // bytes per second

    // The reading after span seconds, and the bytes counted by then.
    static std::pair<LevelledRate::Reading, qint64> read(const RateAt &rate, double span = 8)
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
        return {levelled.reading(span, qint64(bytes)), qint64(bytes)};
    }

private slots:
    // A phase that levels reads its level, 100 MB/s in every such row; one that does not
    // reads as a whole.
    void readsTheLevelledPart_data()
    {
        TestSupport::addColumns<RateAt, bool>("rate", "levelled");
        constexpr double full = 100e6;
        QTest::newRow("steady") << RateAt([](double) { return full; }) << true;
        // Windows opening over three seconds of eight: the whole phase would read 81 %.
        QTest::newRow("ramp") << RateAt([](double t) { return t < 3 ? full * t / 3 : full; })
                              << true;
        // A token bucket's burst at ten times the rate for its first second: the whole
        // phase would read 212 %.
        QTest::newRow("burst") << RateAt([](double t) { return t < 1 ? 10 * full : full; }) << true;
        // A stall after a loss, and the lump that makes up for it.
        QTest::newRow("stall and lump") << RateAt([](double t) {
            return t > 4 && t < 4.4 ? 0 : t >= 4.4 && t < 4.6 ? 3 * full : full;
        }) << true;
        // A token bucket's burst overfills the line's queue: a dip, whose time banks the
        // bucket's refill, spread over the rest. Read from the dip's second tick, the phase
        // would read 101 %.
        QTest::newRow("burst, dip, slow refill") << RateAt([](double t) {
            return t < 1 ? 10 * full : t < 1.6 ? 0.6 * full : 1.0375 * full;
        }) << true;
        // A gap nothing makes up for (a download between two requests) is time lost, left
        // out: read from before it, the phase would read 95 %.
        QTest::newRow("gap never made up")
            << RateAt([](double t) { return t > 2 && t < 2.4 ? 0.1 * full : full; }) << true;
        // Windows opening over three seconds, then a stall that lasts past the deadline: read
        // whole from where the ramp's end balances the stall, the phase would read 78 %.
        QTest::newRow("ramp, stall at the end") << RateAt([](double t) {
            return t < 3 ? full * t / 3 : t < 7.2 ? full : 0;
        }) << true;
        // Level from the phase's start, the climb balanced by a dip near the end: read with
        // the climb, 93.8 %.
        QTest::newRow("climb, dip at the end") << RateAt([](double t) {
            return t < 0.6 ? full * t / 0.6 : t > 6 && t < 6.4 ? full / 2 : full;
        }) << true;
        // A stall in the climb, whose lump makes up for it: read without it, 102.9 %.
        QTest::newRow("stall in the climb") << RateAt([](double t) {
            return t < 1.2 ? full * t / 1.5 : t < 1.4 ? 0 : t < 1.6 ? 2 * full : full;
        }) << true;
        // Still climbing at the end: no part of it is level.
        QTest::newRow("never levels") << RateAt([](double t) { return 1e6 * t * t; }) << false;
        // Level only for its last half-second, too short to stand for the phase.
        QTest::newRow("levels too late")
            << RateAt([](double t) { return t < 7.5 ? 1e6 * t : 7.5e6; }) << false;
    }

    void readsTheLevelledPart()
    {
        const auto [rate, levelled] = TestSupport::fetch<RateAt, bool>("rate", "levelled");
        const auto [reading, bytes] = read(rate);
        QCOMPARE(reading.levelled, levelled);
        // Never above the rate the link kept, and within 3 % below it.
        if (levelled)
            QVERIFY2(reading.bytesPerSecond <= 100e6 * 1.005 && reading.bytesPerSecond >= 97e6,
                     qPrintable(QString::number(reading.bytesPerSecond)));
        else
            QVERIFY(reading.fromSeconds == 0 && qint64(reading.bytesPerSecond * 8) == bytes);
    }

    // Windows opening over a second and a half: a part level within the tolerance may begin a
    // few ticks before the climb's end (reading 97.8 % here); those ticks are left out.
    void leavesTheRampsLastTicksOut()
    {
        const double rate =
            read([](double t) { return t < 1.5 ? 1e8 * t / 1.5 : 1e8; }).first.bytesPerSecond;
        QVERIFY2(rate >= 99.7e6 && rate <= 100.5e6, qPrintable(QString::number(rate)));
    }

    // A burst that ends just after a sample, a stall behind it: a part begun at that sample
    // would count the burst's last bytes (105 % here). A burst, then a count still climbing
    // at the end: read from the burst's end, not over it (3.6 times the rest).
    void leavesABurstOut()
    {
        const auto level = read([](double t) {
                               return t < 1.06 ? 1e9 : t < 1.46 ? 15e6 : t < 1.66 ? 151e6 : 103.7e6;
                           }).first;
        QVERIFY(level.levelled && level.fromSeconds >= 1.06);
        const auto climbing = read([](double t) { return t < 1 ? 1e9 : 1e7 * t; }).first;
        QVERIFY(!climbing.levelled && qAbs(climbing.fromSeconds - 1) < 0.01
                && qAbs(climbing.bytesPerSecond / 45e6 - 1) < 0.01);
    }

    // An upload recorded on a 100 Mbit/s line whose token bucket let its first 50 MB pass at
    // ten times that (the count in MB, five times a second): a stall, then the lump that
    // makes up for it over two ticks. Begun between those two, the part read 102.5 Mbit/s
    // where the line carries 96.5.
    void readsARecordedBurstAtTheLine()
    {
        LevelledRate levelled;
        int tick = 0;
        for (const double megabytes :
             {0.475,  11.241, 30.585, 45.665, 57.456,  59.212,  59.430, 63.126, 67.297,
              67.971, 72.757, 74.822, 76.470, 77.263,  78.926,  82.249, 86.941, 89.072,
              92.123, 93.547, 96.951, 99.363, 101.770, 104.192, 106.599})
            levelled.add(0.2 * ++tick, qint64(megabytes * 1e6));
        QVERIFY(qAbs(levelled.reading(5, 106673832).bytesPerSecond * 8e-6 / 96.5 - 1) <= 0.03);
    }

    void ignoresSamplesThatCannotBeOneCount()
    {
        LevelledRate levelled;
        // After the first: one back in time, one with fewer bytes, one with no time passed.
        for (const auto &[seconds, bytes] :
             {std::pair(1.0, 1000), {0.5, 2000}, {2.0, 500}, {2.0, 2000}})
            levelled.add(seconds, bytes);
        const LevelledRate::Reading reading = levelled.reading(4, 4000);
        QVERIFY(reading.levelled);
        QCOMPARE(reading.bytesPerSecond, 1000.0);
        QCOMPARE(LevelledRate().reading(0, 1000).bytesPerSecond, 0.0);
    }
};

QTEST_GUILESS_MAIN(TestLevelledRate)
#include "tst_levelledrate.moc"
