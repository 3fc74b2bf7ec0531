#include "TestSupport.h"

#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"
#include "settings/SpeedHistory.h"
#include "settings/SpeedSettings.h"

#include <clocale>
#include <cmath>

using Result = SpeedTestEngine::Result;

class TestSettings : public QObject
{
    Q_OBJECT

    PreferencesStore &store() { return PreferencesStore::shared(); }

private slots:
    void init()
    {
        store().remove(PreferenceKeys::unitMBytes);
        store().remove(PreferenceKeys::liveMenuBar);
        store().remove(PreferenceKeys::history);
    }

    void cleanup() { std::setlocale(LC_ALL, "C"); }

    void absentKeysReadFalse()
    {
        QCOMPARE(SpeedSettings::liveMenuBar(), false);
        QCOMPARE(SpeedSettings::unitMBytes(), false);
        QCOMPARE(SpeedSettings::unitLabel(), QStringLiteral("Mbps"));
        QCOMPARE(SpeedHistory::all().size(), 0);
    }

    void settingsGoStraightToTheStore()
    {
        SpeedSettings::setLiveMenuBar(true);
        QCOMPARE(PreferencesStore(store().filePath()).boolValue(PreferenceKeys::liveMenuBar), true);
        // Another process turns the unit on: the very next call sees it.
        PreferencesStore(store().filePath()).setBool(PreferenceKeys::unitMBytes, true);
        QCOMPARE(SpeedSettings::unitLabel(), QStringLiteral("Mo/s"));
        QCOMPARE(SpeedSettings::format(8), QStringLiteral("1,0"));
        SpeedSettings::setUnitMBytes(false);
        QCOMPARE(SpeedSettings::format(8), QStringLiteral("8,0"));
    }

    void format_data()
    {
        QTest::addColumn<QByteArray>("locale");
        QTest::addColumn<bool>("megabytes");
        QTest::addColumn<double>("mbps");
        QTest::addColumn<QString>("expected");
        const struct
        {
            bool megabytes;
            double mbps;
            const char *expected;
        } table[] = {
            {false, 0, "0,0"},       {false, 99.94, "99,9"},
            {false, 99.97, "100,0"}, {false, 100, "100"},
            {false, 1234.6, "1235"}, {false, 0.05, "0,1"},
            {false, 0.25, "0,2"},    {false, 12345678.9, "12345679"},
            {false, -3.14, "-3,1"},  {false, std::nan(""), "nan"},
            {true, 800, "100"},      {true, 799, "99,9"},
            {true, 8, "1,0"},        {true, 0, "0,0"},
        };
        for (const char *locale : {"C", "fr_FR.UTF-8", "de_DE.UTF-8"}) {
            for (const auto &row : table) {
                QTest::addRow("%s %s %g", locale, row.megabytes ? "Mo/s" : "Mbps", row.mbps)
                    << QByteArray(locale) << row.megabytes << row.mbps
                    << QString::fromUtf8(row.expected);
            }
        }
    }

    void format()
    {
        QFETCH(QByteArray, locale);
        QFETCH(bool, megabytes);
        QFETCH(double, mbps);
        QFETCH(QString, expected);
        QVERIFY2(std::setlocale(LC_ALL, locale.constData()),
                 "locale missing: run scripts/install-deps.sh");
        if (locale != "C") {
            // The C library really writes a comma here, so "." in our output proves nothing leaked.
            char probe[16];
            std::snprintf(probe, sizeof probe, "%.1f", 1.5);
            QCOMPARE(QByteArray(probe), QByteArray("1,5"));
        }
        SpeedSettings::setUnitMBytes(megabytes);
        QCOMPARE(SpeedSettings::format(mbps), expected);
        QCOMPARE(SpeedSettings::unitLabel(),
                 megabytes ? QStringLiteral("Mo/s") : QStringLiteral("Mbps"));
    }

    void historyKeepsFiveNewestFirst()
    {
        for (int i = 1; i <= 7; ++i)
            SpeedHistory::add(Result(1000.0 - i, i, i * 0.5, 10 + i));
        const auto all = SpeedHistory::all();
        QCOMPARE(all.size(), 5);
        for (int i = 0; i < 5; ++i) {
            // Order of addition, not of date: the dates go backwards here.
            QCOMPARE(all[i].down(), double(7 - i));
            QCOMPARE(all[i].ping(), 17.0 - i);
        }
    }

    void historyIsStoredAsCompactJsonData()
    {
        SpeedHistory::add(Result(1.5, 2, 3, 4));
        const auto stored = store().data(PreferenceKeys::history);
        QVERIFY(stored);
        const QJsonDocument document = QJsonDocument::fromJson(*stored);
        QVERIFY(document.isArray());
        QCOMPARE(document.array().size(), 1);
        QCOMPARE(document.array().at(0).toObject().value("date").toDouble(), 1.5);
        QVERIFY(!stored->contains(' '));
        QVERIFY(!stored->contains('\n'));
    }

    void unreadableHistoryReadsEmptyAndNextAddLeavesOne_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("not json") << QVariant(QByteArray("[{\"date\":"));
        QTest::newRow("not an array")
            << QVariant(QByteArray(R"({"date":1,"down":2,"up":3,"ping":4})"));
        QTest::newRow("one malformed element") << QVariant(
            QByteArray(R"([{"date":1,"down":2,"up":3,"ping":4},{"date":1,"down":2,"up":3}])"));
        QTest::newRow("stored as text") << QVariant(QStringLiteral("[]"));
    }

    void unreadableHistoryReadsEmptyAndNextAddLeavesOne()
    {
        QFETCH(QVariant, stored);
        store().setValue(PreferenceKeys::history, stored);
        QCOMPARE(SpeedHistory::all().size(), 0);
        SpeedHistory::add(Result(9, 8, 7, 6));
        const auto all = SpeedHistory::all();
        QCOMPARE(all.size(), 1);
        QCOMPARE(all[0].down(), 8.0);
    }

    void unencodableResultLeavesHistoryAlone()
    {
        SpeedHistory::add(Result(1, 2, 3, 4));
        SpeedHistory::add(Result(1, HUGE_VAL, 3, 4));
        const auto all = SpeedHistory::all();
        QCOMPARE(all.size(), 1);
        QCOMPARE(all[0].down(), 2.0);
    }
};

TACHORA_TEST_CORE_MAIN(TestSettings)
#include "tst_settings.moc"
