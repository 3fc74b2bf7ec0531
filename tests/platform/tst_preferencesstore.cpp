// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"

#include "platform/PreferencesStore.h"

class TestPreferencesStore : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;

    static QDateTime utc(qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC); }

private slots:
    // A file of its own for every test and row.
    void init()
    {
        m_path = m_dir.filePath(
            QString("%1 %2.json").arg(QTest::currentTestFunction()).arg(QTest::currentDataTag()));
    }

    void typesSurviveReopen_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::newRow("true") << QVariant(true);
        QTest::newRow("large integer") << QVariant(qint64(1) << 60);
        QTest::newRow("int widens") << QVariant(int(7));
        QTest::newRow("whole double") << QVariant(1.0);
        QTest::newRow("tiny double") << QVariant(5e-324);
        QTest::newRow("all 17 digits") << QVariant(0.1 + 0.2);
        QTest::newRow("infinity") << QVariant(HUGE_VAL);
        QTest::newRow("not a number") << QVariant(std::nan(""));
        QTest::newRow("negative zero") << QVariant(-0.0);
        QTest::newRow("text") << QVariant(QStringLiteral("Montée \"1\"\n\\ ↓"));
        QTest::newRow("data") << QVariant(QByteArray("\0\x01\xff[{", 5));
        QTest::newRow("date") << QVariant(utc(1796563200250));
        QTest::newRow("date on a whole second") << QVariant(utc(1796563200000));
        QTest::newRow("just before 1970") << QVariant(utc(-1));
        QTest::newRow("far future") << QVariant(utc(1e15 - 1));
        QTest::newRow("mixed array") << QVariant(QVariantList{qint64(3), 2.5, QStringLiteral("x")});
        QTest::newRow("nested") << QVariant(QVariantMap{{"a", QVariantMap{{"b", QVariantMap{}}}},
                                                        {"c", QVariantList{QVariantList{}, true}}});
        // Dictionaries whose one key looks like a tag stay dictionaries (a list's elements are
        // written and read by the same code).
        for (const char *tagged : {R"({"$data": "QUJD"})", R"({"$double": "nan"})",
                                   R"({"$date": 5})", R"({"$date": {"$double": 5}})",
                                   R"({"$map": {"a": 1}})", R"({"$map": {}})", R"({"$new": 1})"})
            QTest::newRow(tagged) << QVariant(
                QJsonDocument::fromJson(tagged).object().toVariantMap());
    }

    void typesSurviveReopen()
    {
        QFETCH(QVariant, value);
        // Every integer type is stored as a 64-bit one; other types stay as they are.
        const int storedType =
            value.typeId() == QMetaType::Int ? QMetaType::LongLong : value.typeId();
        PreferencesStore writer(m_path);
        QVERIFY(writer.setValue("key", value));
        const QVariant written = writer.value("key");
        PreferencesStore reader(m_path);
        const QVariant read = reader.value("key");
        // Another key written rewrites the file from the values read back.
        QVERIFY(reader.setBool("other", true));
        for (const QVariant &back : {written, read, PreferencesStore(m_path).value("key")}) {
            QCOMPARE(back.typeId(), storedType);
            if (storedType == QMetaType::Double)
                QCOMPARE(std::bit_cast<quint64>(back.toDouble()),
                         std::bit_cast<quint64>(value.toDouble()));
            else
                QCOMPARE(back, value);
        }
    }

    void typedReadsAnswerAbsentOnAnotherType()
    {
        // A list with a fraction in it is not a list of integers, cut down.
        PreferencesStore store(m_path);
        store.setValue("mixed", QVariantList{qint64(1), 2.5});
        QCOMPARE(store.integerList("mixed"), std::nullopt);
        // What could not read back as itself is refused.
        QVERIFY(!store.setValue("odd", QVariantList{qint64(1), QPoint(1, 2)}));
        QVERIFY(!store.setValue("odd", QVariantMap{{"a", QVariant()}}));
        QVERIFY(!store.setValue("odd", utc(2e15)));
        QVERIFY(!store.contains("odd"));
        store.remove("mixed");
        QVERIFY(!PreferencesStore(m_path).contains("mixed"));
    }

    void handWrittenValuesKeepTheirMeaning()
    {
        QVERIFY(TestSupport::writeFile(
            m_path, R"({"i": 1, "w": 2.0, "d": {"$double": 1}, "e": 1e-2, "n": null,
                              "bad": {"$data": "@@"}, "day": {"$date": 1796563200},
                              "older": {"$date": {"$double": 1796563200}},
                              "notag": {"$data": 5}, "pre": {"$date": -0.5}})"));
        // As read by hand, then once the store has written the file from what it read.
        for (int pass = 0; pass < 2; ++pass) {
            PreferencesStore store(m_path);
            QVERIFY(store.integer("i") == 1 && store.integer("w") == 2 && !store.contains("n"));
            QVERIFY(store.doubleValue("d") == 1.0 && store.doubleValue("e") == 0.01);
            QVERIFY(!store.contains("bad") && store.date("pre") == utc(-500));
            QVERIFY(store.date("day") == utc(1796563200000)
                    && store.date("older") == store.date("day"));
            QCOMPARE(store.value("notag"), QVariant(QVariantMap{{"$data", qint64(5)}}));
            QVERIFY(store.setInteger("pass", pass));
        }
    }

    // A file that cannot be read is left as it is until the first write, which keeps it aside.
    void writeReplacesFileAtomically()
    {
        const QByteArray garbage = "{\"a\": tru";
        QVERIFY(TestSupport::writeFile(m_path, garbage));
        PreferencesStore store(m_path);
        QVERIFY(!store.value("a").isValid() && TestSupport::readFile(m_path) == garbage);
        QVERIFY(store.setString("a", "first"));
        QCOMPARE(TestSupport::readFile(m_path + ".corrupt"), garbage);
        // An open handle keeps seeing the old file: the new content was written aside
        // and renamed over it, never truncated and rewritten in place.
        QFile before(m_path);
        QVERIFY(before.open(QIODevice::ReadOnly));
        QVERIFY(store.setString("a", "second"));
        QVERIFY(before.readAll().contains("first"));
        QCOMPARE(PreferencesStore(m_path).string("a").value_or(""), "second");
        // Nothing else is left behind next to the file: no temporary copy, no lock.
        const QFileInfo file(m_path);
        QCOMPARE(file.dir().entryList({file.fileName() + '*'}, QDir::Files | QDir::Hidden),
                 QStringList({file.fileName(), file.fileName() + ".corrupt"}));
    }

    void changeByAnotherWriterIsSeen_data()
    {
        TestSupport::addColumns<bool, int>("sameStamp", "ageSeconds");
        QTest::newRow("file replaced") << false << 0;
        // As on a filesystem that keeps times to the second (or with a clock running
        // behind): the changed file has the inode, size and time of the one read before.
        QTest::newRow("same stamp, this second") << true << 0;
        QTest::newRow("same stamp, an hour old") << true << 3600;
    }

    void changeByAnotherWriterIsSeen()
    {
        const auto [sameStamp, ageSeconds] =
            TestSupport::fetch<bool, int>("sameStamp", "ageSeconds");
        const QDateTime stamp = QDateTime::fromSecsSinceEpoch(::time(nullptr) - ageSeconds);
        QVERIFY(TestSupport::writeFile(m_path, R"({"mine": 1, "theirs": 1})", stamp));
        PreferencesStore mine(m_path);
        QCOMPARE(mine.integer("theirs"), 1);
        QVERIFY(sameStamp ? TestSupport::writeFile(m_path, R"({"mine": 1, "theirs": 2})", stamp)
                          : PreferencesStore(m_path).setInteger("theirs", 2));
        // A read trusts a stamp that is old enough; a write never does.
        if (ageSeconds == 0)
            QCOMPARE(mine.integer("theirs"), 2);
        QVERIFY(mine.setInteger("mine", 3));
        PreferencesStore reader(m_path);
        QVERIFY(reader.integer("theirs") == 2 && reader.integer("mine") == 3);
    }

    void lockOfAGoneWriterIsTakenOver_data()
    {
        TestSupport::addBoolRows("heldByLiveWriter", "dead writer", "live writer");
    }

    void lockOfAGoneWriterIsTakenOver()
    {
        QFETCH(bool, heldByLiveWriter);
        const QString lockPath = m_path + ".lock";
        // Earlier versions lock with QLockFile; a live one is waited for like any writer.
        QLockFile live(lockPath);
        QVERIFY(heldByLiveWriter ? live.tryLock(0)
                                 : TestSupport::writeFile(lockPath, "2147483646\ntachora\nhost\n"));
        PreferencesStore store(m_path);
        store.setLockTimeout(std::chrono::milliseconds(0));
        QCOMPARE(store.setBool("TCLiveMenuBar", true), !heldByLiveWriter);
        QCOMPARE(PreferencesStore(m_path).boolValue("TCLiveMenuBar"), !heldByLiveWriter);
        QCOMPARE(QFile::exists(lockPath), heldByLiveWriter);
    }
};

TACHORA_TEST_CORE_MAIN(TestPreferencesStore)
#include "tst_preferencesstore.moc"
