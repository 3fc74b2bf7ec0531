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
        // the climb, 93.8 %; without it, 97.3 %, with the dip, time lost; read up to the
        // latest end that leaves the part level, 98.2 %.
        QTest::newRow("climb, dip at the end") << RateAt([](double t) {
            return t < 0.6 ? 1e8 * t / 0.6 : t > 6 && t < 6.4 ? 5e7 : 1e8;
        }) << 0.98;
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

    // Counts recorded on a line read 97 % of what it carries at least, and at most the row's
    // share: what each got wrong before is said beside it.
    void readsRecordedCountsAtTheLine_data()
    {
        QTest::addColumn<QList<QByteArray>>("fields");
        QTest::addColumn<double>("line");
        QFile file(QStringLiteral(RECORDED_COUNTS_PATH));
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        double line = 0;
        while (!file.atEnd()) {
            const QList<QByteArray> fields = file.readLine().simplified().split(' ');
            if (fields.size() == 2 && fields[0] == "line")
                line = fields[1].toDouble();
            else if (fields.size() > 7 && !fields[0].startsWith('#'))
                QTest::newRow(fields[0].constData()) << fields << line;
        }
    }

    void readsRecordedCountsAtTheLine()
    {
        QFETCH(QList<QByteArray>, fields);
        QFETCH(double, line);
        double seconds = fields[1].toDouble();
        LevelledRate levelled;
        for (const QByteArray &value : fields.mid(7))
            levelled.add(std::exchange(seconds, seconds + fields[2].toDouble()),
                         qint64(value.toDouble() * 1e6));
        const double share =
            levelled.reading(fields[3].toDouble(), fields[4].toLongLong(), fields[6] == "down")
                .bytesPerSecond
            * 8e-6 / line;
        QVERIFY2(share >= 0.97 && share <= fields[5].toDouble(),
                 qPrintable(QString::number(share)));
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
