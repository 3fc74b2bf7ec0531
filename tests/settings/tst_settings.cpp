// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"

#include "platform/PreferencesStore.h"
#include "settings/FrenchTypography.h"
#include "settings/PreferenceKeys.h"
#include "settings/SpeedHistory.h"
#include "settings/SpeedSettings.h"

#include <clocale>

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

    // The shared store lives in the user's config folder. Absent keys read false, and every
    // call reads the store: another process's change shows at the very next call.
    void settingsGoStraightToTheStore()
    {
        QCOMPARE(store().filePath(),
                 TestSupport::userDirsRoot() + "/config/Tachora/preferences.json");
        QVERIFY(!SpeedSettings::liveMenuBar() && !SpeedSettings::unitMBytes());
        SpeedSettings::setLiveMenuBar(true);
        QCOMPARE(PreferencesStore(store().filePath()).boolValue(PreferenceKeys::liveMenuBar), true);
        PreferencesStore(store().filePath()).setBool(PreferenceKeys::unitMBytes, true);
        // One decimal or none by the converted value: 99.875 Mo/s.
        QCOMPARE(SpeedSettings::unitLabel() + ' ' + SpeedSettings::format(799), "Mo/s 99,9");
    }

    // Whatever the process's locale, as the user's language writes them.
    void format()
    {
        const std::pair<double, const char *> table[] = {
            {0, "0,0"},      {99.94, "99,9"},       {99.97, "100,0"},
            {100, "100"},    {0.05, "0,1"},         {0.25, "0,2"},
            {-3.14, "-3,1"}, {std::nan(""), "nan"}, {12345678.9, "12345679"},
        };
        for (const char *locale : {"C", "fr_FR.UTF-8", "de_DE.UTF-8"}) {
            QVERIFY2(std::setlocale(LC_ALL, locale), "locale missing: run scripts/install-deps.sh");
            for (const auto &[mbps, expected] : table)
                QVERIFY2(SpeedSettings::format(mbps) == QString::fromUtf8(expected),
                         qPrintable(QString(locale) + u' ' + expected));
        }
    }

    // Data that cannot be read reads as no history, and the next result stored replaces it; a
    // result that cannot be encoded leaves the history alone.
    void historyKeepsWhatReadsBack_data()
    {
        QTest::addColumn<QVariant>("stored");
        // Not JSON, not an array, one malformed element.
        for (const char *json :
             {"[{\"date\":", R"({"date":1,"down":2,"up":3,"ping":4})",
              R"([{"date":1,"down":2,"up":3,"ping":4},{"date":1,"down":2,"up":3}])"})
            QTest::newRow(json) << QVariant(QByteArray(json));
        QTest::newRow("stored as text") << QVariant(QStringLiteral("[]"));
    }

    void historyKeepsWhatReadsBack()
    {
        QFETCH(QVariant, stored);
        store().setValue(PreferenceKeys::history, stored);
        QCOMPARE(SpeedHistory::all().size(), 0);
        SpeedHistory::add(Result(9, 8, 7, 6));
        // A result that cannot be encoded leaves the history alone.
        SpeedHistory::add(Result(1, HUGE_VAL, 3, 4));
        // Stored as compact JSON data, as other versions of the program read it.
        QCOMPARE(store().data(PreferenceKeys::history),
                 QByteArray(R"([{"date":9,"down":8,"ping":6,"up":7}])"));
        // The five newest are kept, in the order they came, not by date: the dates go
        // backwards here.
        for (int i = 1; i <= 6; ++i)
            SpeedHistory::add(Result(9 - i, i, 0, 0));
        QList<double> downs;
        for (const Result &result : SpeedHistory::all())
            downs.append(result.down());
        QCOMPARE(downs, (QList<double>{6, 5, 4, 3, 2}));
    }

    void frenchTypography()
    {
        // "_" stands for the narrow no-break space.
        const std::pair<QString, QString> cases[] = {
            {"Merci ! Vraiment ? Oui ; enfin : bon.", "Merci_! Vraiment_? Oui_; enfin_: bon."},
            {"Test impossible (réseau\u00A0?)", "Test impossible (réseau_?)"},
            {"origine « a » et «b»", "origine «_a_» et «_b_»"},
            // A mark that opens the text, or that has its space already, is left alone.
            {": x, Cause_: x", ": x, Cause_: x"},
            {"Dernier test : 14:05 via http://h:8080/?a",
             "Dernier test_: 14:05 via http://h:8080/?a"}};
        for (auto [text, expected] : cases)
            QCOMPARE(FrenchTypography::typeset(text.replace(u'_', QChar(0x202F))),
                     expected.replace(u'_', QChar(0x202F)));
    }
};

TACHORA_TEST_CORE_MAIN(TestSettings)
#include "tst_settings.moc"
