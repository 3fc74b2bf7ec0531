// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"

#include "engine/LevelledRate.h"

// Byte counts scripted as a rate over time, sampled as the engine's ticker samples them.
class TestLevelledRate : public QObject
{
    Q_OBJECT

    using RateAt = std::function<double(double seconds)>; // bytes per second

    // The reading after span seconds, and the bytes counted by then.
    static auto read(const RateAt &rate, double span = 8, bool received = false)
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
        return std::pair(levelled.reading(span, qint64(bytes), received), qint64(bytes));
    }

private slots:
    // A phase that levels reads its level, 100 MB/s in every such row (a ramp's last ticks
    // left out: kept, the ramps read 98 %); one that does not reads as a whole.
    void readsTheLevelledPart_data()
    {
        TestSupport::addColumns<RateAt, double>("rate", "least");
        QTest::newRow("steady") << RateAt([](double) { return 1e8; }) << 0.995;
        // Windows opening over three seconds of eight: the whole phase would read 81 %.
        QTest::newRow("ramp") << RateAt([](double t) { return std::min(1e8 * t / 3, 1e8); })
                              << 0.995;
        // A token bucket's burst at ten times the rate for its first second: the whole
        // phase would read 212 %.
        QTest::newRow("burst") << RateAt([](double t) { return t < 1 ? 1e9 : 1e8; }) << 0.995;
        // A stall after a loss, and the lump that makes up for it.
        QTest::newRow("stall and lump") << RateAt([](double t) {
            return t > 4 && t < 4.4 ? 0 : t >= 4.4 && t < 4.6 ? 3e8 : 1e8;
        }) << 0.995;
        // A token bucket's burst overfills the line's queue: a dip, whose time banks the
        // bucket's refill, spread over the rest. Read from the dip's second tick, the phase
        // would read 101 %.
        QTest::newRow("burst, dip, slow refill") << RateAt([](double t) {
            return t < 1 ? 1e9 : t < 1.6 ? 6e7 : 1.0375e8;
        }) << 0.995;
        // A gap nothing makes up for (a download between two requests) is time lost, left
        // out: read from before it, the phase would read 95 %.
        QTest::newRow("gap never made up")
            << RateAt([](double t) { return t > 2 && t < 2.4 ? 1e7 : 1e8; }) << 0.995;
        // Windows opening over three seconds, then a stall that lasts past the deadline: read
        // whole from where the ramp's end balances the stall, the phase would read 78 %.
        QTest::newRow("ramp, stall at the end")
            << RateAt([](double t) { return t < 7.2 ? 1e8 * std::min(t / 3, 1.0) : 0; }) << 0.995;
        // Level from the phase's start, the climb balanced by a dip near the end: read with
        // the climb, 93.8 %; without it, 97.3 % (the dip is time lost).
        QTest::newRow("climb, dip at the end") << RateAt([](double t) {
            return t < 0.6 ? 1e8 * t / 0.6 : t > 6 && t < 6.4 ? 5e7 : 1e8;
        }) << 0.97;
        // A stall in the climb, whose lump makes up for it: read without it, 102.9 %.
        QTest::newRow("stall in the climb") << RateAt([](double t) {
            return t < 1.2 ? 1e8 * t / 1.5 : t < 1.4 ? 0 : t < 1.6 ? 2e8 : 1e8;
        }) << 0.995;
        // Still climbing at the end: no part of it is level.
        QTest::newRow("never levels") << RateAt([](double t) { return 1e6 * t * t; }) << 0.0;
        // Level only for its last half-second, too short to stand for the phase.
        QTest::newRow("levels too late")
            << RateAt([](double t) { return t < 7.5 ? 1e6 * t : 7.5e6; }) << 0.0;
    }

    void readsTheLevelledPart()
    {
        const auto [rate, least] = TestSupport::fetch<RateAt, double>("rate", "least");
        const auto [reading, bytes] = read(rate);
        QCOMPARE(reading.levelled, least > 0);
        // Never above the rate the link kept, and at least `least` of it.
        if (least > 0)
            QVERIFY2(reading.bytesPerSecond <= 100.5e6 && reading.bytesPerSecond >= least * 100e6,
                     qPrintable(QString::number(reading.bytesPerSecond)));
        else
            QVERIFY(reading.fromSeconds == 0 && qint64(reading.bytesPerSecond * 8) == bytes
                    && !read(rate, 8, true).first.levelled);
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
        // Ended within a tick, the burst still fills part of it: read from after it (from
        // before, 13 % more).
        const auto tail = read([](double t) { return t < 1.05 ? 1e9 : 1e7 * t; }).first;
        QVERIFY(!tail.levelled && qAbs(tail.fromSeconds - 1.2) < 0.01);
        // A burst that outlasts the phase's first part: read from its end as well (over it,
        // 7.4 times the rest). A link gone for good after half the phase had no burst.
        const auto longer = read([](double t) { return t < 3 ? 1e9 : 1e7 * t; }).first;
        QVERIFY(!longer.levelled && qAbs(longer.fromSeconds - 3) < 0.01);
        const auto gone = read([](double t) { return t < 4.7 ? 1e8 : 0; }).first;
        QVERIFY(!gone.levelled && gone.fromSeconds == 0);
    }

    // The reading of a count recorded every `every` seconds (in MB to 10 kB, from `seconds` on)
    // on a line carrying 96.5 Mbit/s reads 97 % of that at least, `most` of it at most; a
    // download's unless said.
    static void readsAtTheLine(const char *megabytes, double seconds, double every, double span,
                               qint64 bytes, double most = 1.01, bool received = true)
    {
        LevelledRate levelled;
        for (const QByteArray &value : QByteArray(megabytes).split(' '))
            levelled.add(std::exchange(seconds, seconds + every), qint64(value.toDouble() * 1e6));
        const double share = levelled.reading(span, bytes, received).bytesPerSecond * 8e-6 / 96.5;
        QVERIFY2(share >= 0.97 && share <= most, qPrintable(QString::number(share)));
    }

    // An upload through a token bucket that let its first 50 MB pass at ten times the rate: a
    // stall, then the lump that makes up for it over two ticks. Begun between those two, the
    // part read 102.5 Mbit/s (within 3 % now). Another, dips from 2.5 s on that the bucket
    // banked and lumps that spent it: begun after the first dip, 104.0. A download 150 ms away: a
    // stall whose ticks either side carry most of the rate (67, 0 and 82 Mbit/s), then its lump.
    // Begun at its bottom, the part read 98.9, above what the line carries. Another, whose losses
    // stall it every second or so and whose last 1.1 s the repairs held back: read to its
    // end, 91.9. One more, begun in the first tick of a stall whose repair was lost too (32 Mbit/s,
    // 0, part of the lump, a stall again, the rest of the lump): 100.2. The last, begun at a
    // stall's bottom and followed by lumps and stalls to its end, every tick before it at the line:
    // 102.9. Another such, the phase's end held back as well: 105.0. One begun at the top of a
    // lump, a stall the tick after it, then lumps and stalls to its end: 103.3. And one at the
    // line from its second second on, stalls and lumps throughout keeping every part's halves
    // apart: read whole, 82.6.
    void readsRecordedCountsAtTheLine()
    {
        readsAtTheLine(
            "0.47 11.24 30.59 45.66 57.46 59.21 59.43 63.13 67.3 67.97 72.76 74.82 76.47 77.26 "
            "78.93 82.25 86.94 89.07 92.12 93.55 96.95 99.36 101.77 104.19 106.6",
            0.2, 0.2, 5, 106673832, 1.03, false);
        readsAtTheLine("0.43 9.61 28.99 41.88 57.73 60.08 62.36 64.66 66.96 69.2 71.7 74.12 76.07 "
                       "77.39 79.68 82.02 84.59 85.9 86.85 89.63 94.77 97.2 97.84 101.79 105.48",
                       0.19, 0.1964, 5, 106640528, 1.01, false);
        readsAtTheLine(
            "0 0.03 0.08 0.19 0.45 1.09 2.63 4.95 7.37 9.04 9.04 11.09 16.76 19.17 21.58 24 "
            "26.41 28.82 30.82 32.53 34.95 37.36 38.48 38.48 40.81 47.01 49.43 50.77 50.77 53.03 "
            "59.08 61.49 63.9 64.22 64.25 67.53 73.56 75.97 78.38 80.8",
            0.123, 0.2, 8, 81737208);
        readsAtTheLine(
            "0 0.03 0.08 0.19 0.45 1.09 2.74 5.15 7.56 9.05 9.05 11.13 16.95 19.35 20 24.06 "
            "26.47 28.89 31.14 32.99 35.41 37.82 37.91 38.15 40.66 47.02 47.32 47.64 47.65 49.3 "
            "49.3 61.95 64.07 66.48 68.89 69.88 69.88 72.08 75.59 78.97",
            0.19, 0.2, 8, 78971360);
        readsAtTheLine(
            "0 0.03 0.11 0.28 0.73 1.91 4.33 6.83 9.05 9.05 10 16.17 18.59 21 23.42 25.83 28.24 "
            "30.66 32.74 35.15 37.57 38.36 38.36 40.66 43.17 47.45 47.48 47.56 47.83 56.12 61.7 "
            "64.11 66.52 66.61 66.82 68.36 75.87 75.88 77.66",
            0.211, 0.2018, 8, 82476968);
        readsAtTheLine(
            "0 0.03 0.08 0.24 0.58 1.46 3.52 5.94 8.33 9.05 9.05 11.97 16.69 20.13 22.54 24.96 "
            "27.37 29.79 31.21 33.5 35.92 38.03 38.04 39.01 42.2 45.38 48.8 49.51 53.7 53.76 "
            "57.17 62.46 64.87 65.82 65.82 68.74 72.81 76.62 76.65",
            0.202, 0.2, 8, 81725832);
        readsAtTheLine(
            "0 0.03 0.08 0.19 0.49 1.22 3.06 5.47 7.88 9.05 9.05 15.12 17.22 19.64 20.27 24.26 "
            "26.68 29.09 31.26 33.49 35.9 37.88 37.88 38.48 40.42 44.71 44.71 46.34 46.34 53.28 "
            "53.8 62.45 64.86 67.27 68.73 68.73 70.74 74.48 77.89 77.89",
            0.19, 0.1993, 8, 77897840);
        readsAtTheLine(
            "0 0.03 0.11 0.28 0.72 1.9 4.3 6.83 9.05 9.05 10.3 16.39 18.78 19.96 23.49 25.9 28.31 "
            "30.73 32.42 34.83 37.25 37.48 37.58 40.29 43.12 47.04 48.07 51.26 55.18 55.18 57.4 "
            "63.79 64.41 64.41 66.04 68.72 73.49 74.11 78.06",
            0.21, 0.2022, 8, 81975960);
        readsAtTheLine(
            "0 0.03 0.1 0.26 0.61 1.53 3.63 6.05 8.46 9.05 9.05 15.35 16.53 20.26 22.68 25.09 "
            "27.5 29.91 32.19 34.59 37 39.12 39.12 39.64 41.81 44.85 44.91 50.54 52.96 55.37 "
            "60.28 60.28 60.33 60.33 61.4 62.89 75.62 78.03 80.44",
            0.21, 0.2003, 8, 82585280);
    }

    // A download slowed to a third for over a second, its part begun where it picks up again:
    // the count never makes up for that second, time the link lost, not bytes held back
    // (kept, 85 %).
    void leavesTimeLostOut()
    {
        const auto slowed = [](double t) { return t > 2.7 && t < 3.9 ? 3.3e7 : 1e8; };
        QVERIFY(read(slowed, 8, true).first.bytesPerSecond >= 0.98e8);
    }

    void ignoresSamplesThatCannotBeOneCount()
    {
        LevelledRate levelled;
        // After the first: one back in time, one with fewer bytes, one with no time passed.
        for (const auto &[at, bytes] : {std::pair(1.0, 1000), {0.5, 2000}, {2.0, 500}, {2.0, 2000}})
            levelled.add(at, bytes);
        const LevelledRate::Reading reading = levelled.reading(4, 4000);
        QVERIFY(reading.levelled && reading.bytesPerSecond == 1000.0);
        QCOMPARE(LevelledRate().reading(0, 1000).bytesPerSecond, 0.0);
    }
};

QTEST_GUILESS_MAIN(TestLevelledRate)
#include "tst_levelledrate.moc"
