#include "TestSupport.h"

#include "platform/PreferencesStore.h"

#include <QLockFile>
#include <QTemporaryDir>

#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>

class TestPreferencesStore : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;

    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("prefs/%1.json").arg(QTest::currentTestFunction()));
        QFile::remove(m_path);
        QFile::remove(m_path + ".corrupt");
    }

    void sharedStoreLivesUnderXdgConfigHome()
    {
        QCOMPARE(PreferencesStore::shared().filePath(),
                 TestSupport::userDirsRoot() + "/config/Tachora/preferences.json");
    }

    void typesSurviveReopen_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<int>("storedType");
        QTest::newRow("true") << QVariant(true) << int(QMetaType::Bool);
        QTest::newRow("integer") << QVariant(qint64(-42)) << int(QMetaType::LongLong);
        QTest::newRow("large integer") << QVariant(qint64(1) << 60) << int(QMetaType::LongLong);
        QTest::newRow("int widens") << QVariant(int(7)) << int(QMetaType::LongLong);
        QTest::newRow("whole double") << QVariant(1.0) << int(QMetaType::Double);
        QTest::newRow("fraction") << QVariant(0.1) << int(QMetaType::Double);
        QTest::newRow("huge double") << QVariant(1e300) << int(QMetaType::Double);
        QTest::newRow("tiny double") << QVariant(5e-324) << int(QMetaType::Double);
        QTest::newRow("infinity") << QVariant(HUGE_VAL) << int(QMetaType::Double);
        QTest::newRow("not a number") << QVariant(std::nan("")) << int(QMetaType::Double);
        QTest::newRow("text") << QVariant(QStringLiteral("Montée \"1\"\n\\ ↓"))
                              << int(QMetaType::QString);
        QTest::newRow("data") << QVariant(QByteArray("\0\x01\xff[{", 5))
                              << int(QMetaType::QByteArray);
        QTest::newRow("negative zero") << QVariant(-0.0) << int(QMetaType::Double);
        QTest::newRow("date") << QVariant(QDateTime::fromMSecsSinceEpoch(1796563200250, Qt::UTC))
                              << int(QMetaType::QDateTime);
        QTest::newRow("date on a whole second")
            << QVariant(QDateTime::fromMSecsSinceEpoch(1796563200000, Qt::UTC))
            << int(QMetaType::QDateTime);
        QTest::newRow("epoch") << QVariant(QDateTime::fromMSecsSinceEpoch(0, Qt::UTC))
                               << int(QMetaType::QDateTime);
        QTest::newRow("before 1970")
            << QVariant(QDateTime(QDate(1969, 7, 20), QTime(20, 17, 40), Qt::UTC))
            << int(QMetaType::QDateTime);
        QTest::newRow("just before 1970")
            << QVariant(QDateTime::fromMSecsSinceEpoch(-1, Qt::UTC)) << int(QMetaType::QDateTime);
        QTest::newRow("far future") << QVariant(QDateTime::fromMSecsSinceEpoch(1e15 - 1, Qt::UTC))
                                    << int(QMetaType::QDateTime);
        QTest::newRow("integer array")
            << QVariant(QVariantList{qint64(3), qint64(7)}) << int(QMetaType::QVariantList);
        QTest::newRow("mixed array") << QVariant(QVariantList{qint64(3), 2.5, QStringLiteral("x")})
                                     << int(QMetaType::QVariantList);
        QTest::newRow("dictionary") << QVariant(QVariantMap{{"a", true}, {"b", QVariantList{1.5}}})
                                    << int(QMetaType::QVariantMap);
        QTest::newRow("empty array") << QVariant(QVariantList{}) << int(QMetaType::QVariantList);
        QTest::newRow("empty dictionary") << QVariant(QVariantMap{}) << int(QMetaType::QVariantMap);
        QTest::newRow("nested") << QVariant(QVariantMap{{"a", QVariantMap{{"b", QVariantMap{}}}},
                                                        {"c", QVariantList{QVariantList{}}}})
                                << int(QMetaType::QVariantMap);
        // Dictionaries whose one key looks like a tag stay dictionaries.
        for (const char *tagged : {R"({"$data": "QUJD"})", R"({"$double": "nan"})",
                                   R"({"$date": 5})", R"({"$date": {"$double": 5}})",
                                   R"({"$map": {"a": 1}})", R"({"$map": {}})", R"({"$new": 1})"}) {
            const QVariant map = QJsonDocument::fromJson(tagged).object().toVariantMap();
            QTest::newRow(tagged) << map << int(QMetaType::QVariantMap);
            QTest::addRow("[%s]", tagged)
                << QVariant(QVariantList{map}) << int(QMetaType::QVariantList);
        }
    }

    void typesSurviveReopen()
    {
        QFETCH(QVariant, value);
        QFETCH(int, storedType);
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
            else if (storedType == QMetaType::LongLong)
                QCOMPARE(back.toLongLong(), value.toLongLong());
            else
                QCOMPARE(back, value);
        }
    }

    void typedReadsAnswerAbsentOnAnotherType()
    {
        PreferencesStore store(m_path);
        store.setString("text", "true");
        store.setInteger("number", 1);
        store.setDouble("double", 2.0);
        store.setValue("mixed", QVariantList{qint64(1), 2.5});
        store.setIntegerList("shown", {4, 5});

        QCOMPARE(store.boolValue("text"), false);
        QCOMPARE(store.boolValue("number"), false);
        QCOMPARE(store.boolValue("missing"), false);
        QCOMPARE(store.data("number"), std::nullopt);
        QCOMPARE(store.data("text"), std::nullopt);
        QCOMPARE(store.integer("double"), std::nullopt);
        QCOMPARE(store.doubleValue("number"), std::nullopt);
        QCOMPARE(store.date("double"), std::nullopt);
        QCOMPARE(store.integerList("mixed"), std::nullopt);
        QCOMPARE(store.integerList("number"), std::nullopt);
        QCOMPARE(store.integerList("shown"), (QList<qint64>{4, 5}));
        QCOMPARE(store.integer("number"), 1);
        QCOMPARE(store.value("missing").isValid(), false);
        // What could not read back as itself is refused.
        QVERIFY(!store.setValue("odd", QVariantList{qint64(1), QPoint(1, 2)}));
        QVERIFY(!store.setValue("odd", QVariantMap{{"a", QVariant()}}));
        QVERIFY(!store.setValue("odd", QDateTime::fromMSecsSinceEpoch(2e15, Qt::UTC)));
        QVERIFY(!store.contains("odd"));
        store.remove("number");
        QVERIFY(!PreferencesStore(m_path).contains("number"));
    }

    void handWrittenValuesKeepTheirMeaning()
    {
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        writeFile(m_path, R"({"i": 1, "w": 2.0, "d": {"$double": 1}, "e": 1e-2, "n": null,
                              "bad": {"$data": "@@"}, "day": {"$date": 1796563200},
                              "older": {"$date": {"$double": 1796563200}},
                              "notag": {"$data": 5}, "pre": {"$date": -0.5}})");
        const QDateTime day = QDateTime::fromMSecsSinceEpoch(1796563200000, Qt::UTC);
        // As read by hand, then once the store has written the file from what it read.
        for (int pass = 0; pass < 2; ++pass) {
            PreferencesStore store(m_path);
            QCOMPARE(store.integer("i"), 1);
            QCOMPARE(store.integer("w"), 2);
            QCOMPARE(store.doubleValue("d"), 1.0);
            QCOMPARE(store.doubleValue("e"), 0.01);
            QVERIFY(!store.contains("n"));
            QVERIFY(!store.contains("bad"));
            QCOMPARE(store.date("day"), day);
            QCOMPARE(store.date("older"), day);
            QCOMPARE(store.date("pre"), QDateTime::fromMSecsSinceEpoch(-500, Qt::UTC));
            QCOMPARE(store.value("notag"), QVariant(QVariantMap{{"$data", qint64(5)}}));
            QVERIFY(store.setInteger("pass", pass));
        }
    }

    void writeReplacesFileAtomically()
    {
        PreferencesStore store(m_path);
        store.setString("a", "first");
        // An open handle keeps seeing the old file: the new content was written aside
        // and renamed over it, never truncated and rewritten in place.
        QFile before(m_path);
        QVERIFY(before.open(QIODevice::ReadOnly));
        struct stat oldInfo
        {};
        QCOMPARE(::stat(QFile::encodeName(m_path).constData(), &oldInfo), 0);

        store.setString("a", "second");
        struct stat newInfo
        {};
        QCOMPARE(::stat(QFile::encodeName(m_path).constData(), &newInfo), 0);
        QVERIFY(oldInfo.st_ino != newInfo.st_ino);
        QVERIFY(before.readAll().contains("first"));
        QVERIFY(readFile(m_path).contains("second"));
        // Nothing is left behind next to the file: no temporary copy, no lock.
        QCOMPARE(QDir(QFileInfo(m_path).absolutePath())
                     .entryList({QFileInfo(m_path).fileName() + '*'}, QDir::Files | QDir::Hidden),
                 QStringList{QFileInfo(m_path).fileName()});
    }

    void changeByAnotherWriterIsSeen_data()
    {
        QTest::addColumn<bool>("sameStamp");
        QTest::addColumn<int>("ageSeconds");
        QTest::newRow("file replaced") << false << 0;
        // As on a filesystem that keeps times to the second (or with a clock running
        // behind): the changed file has the inode, size and time of the one read before.
        QTest::newRow("same stamp, this second") << true << 0;
        QTest::newRow("same stamp, an hour old") << true << 3600;
    }

    void changeByAnotherWriterIsSeen()
    {
        QFETCH(bool, sameStamp);
        QFETCH(int, ageSeconds);
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        const timespec time{::time(nullptr) - ageSeconds, 0};
        const timespec times[2] = {time, time};
        const auto writeInPlace = [&](const QByteArray &text) {
            writeFile(m_path, text);
            return ::utimensat(AT_FDCWD, QFile::encodeName(m_path).constData(), times, 0) == 0;
        };
        QVERIFY(writeInPlace(R"({"mine": 1, "theirs": 1})"));
        PreferencesStore mine(m_path);
        QCOMPARE(mine.integer("theirs"), 1);
        if (sameStamp)
            QVERIFY(writeInPlace(R"({"mine": 1, "theirs": 2})"));
        else
            QVERIFY(PreferencesStore(m_path).setInteger("theirs", 2));
        // A read trusts a stamp that is old enough; a write never does.
        if (ageSeconds == 0)
            QCOMPARE(mine.integer("theirs"), 2);
        QVERIFY(mine.setInteger("mine", 3));
        PreferencesStore reader(m_path);
        QCOMPARE(reader.integer("theirs"), 2);
        QCOMPARE(reader.integer("mine"), 3);
    }

    void lockOfAGoneWriterIsTakenOver_data()
    {
        QTest::addColumn<QByteArray>("lockText");
        QTest::addColumn<bool>("heldByLiveWriter");
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("unreadable") << QByteArray("\xff\0\n", 3) << false;
        QTest::newRow("dead writer") << QByteArray("2147483646\ntachora\nhost\n") << false;
        QTest::newRow("live writer") << QByteArray() << true;
    }

    void lockOfAGoneWriterIsTakenOver()
    {
        QFETCH(QByteArray, lockText);
        QFETCH(bool, heldByLiveWriter);
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        const QString lockPath = m_path + ".lock";
        writeFile(lockPath, lockText);
        // Earlier versions lock with QLockFile; a live one is waited for like any writer.
        QLockFile live(lockPath);
        if (heldByLiveWriter) {
            QFile::remove(lockPath);
            QVERIFY(live.tryLock(0));
        }
        PreferencesStore store(m_path);
        store.setLockTimeout(std::chrono::milliseconds(0));
        QCOMPARE(store.setBool("TCLiveMenuBar", true), !heldByLiveWriter);
        QCOMPARE(PreferencesStore(m_path).boolValue("TCLiveMenuBar"), !heldByLiveWriter);
        QCOMPARE(QFile::exists(lockPath), heldByLiveWriter);
    }

    void interleavedWritersKeepEachOthersKeys()
    {
        PreferencesStore first(m_path);
        PreferencesStore second(m_path);
        QCOMPARE(first.value("x").isValid(), false);
        QCOMPARE(second.value("x").isValid(), false);
        for (int i = 0; i < 20; ++i) {
            first.setInteger(QStringLiteral("first%1").arg(i), i);
            second.setInteger(QStringLiteral("second%1").arg(i), i);
        }
        second.setString("same", "second");
        first.setString("same", "first");
        PreferencesStore reader(m_path);
        for (int i = 0; i < 20; ++i) {
            QCOMPARE(reader.integer(QStringLiteral("first%1").arg(i)), i);
            QCOMPARE(reader.integer(QStringLiteral("second%1").arg(i)), i);
        }
        QCOMPARE(reader.string("same"), QStringLiteral("first"));
    }

    void corruptFileIsKeptAsideBeforeFirstWrite()
    {
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        const QByteArray garbage = "{\"TCUnitMBytes\": tru";
        writeFile(m_path, garbage);
        PreferencesStore store(m_path);
        QCOMPARE(store.value("TCUnitMBytes").isValid(), false);
        QCOMPARE(readFile(m_path), garbage);
        QVERIFY(!QFile::exists(m_path + ".corrupt"));

        store.setBool("TCLiveMenuBar", true);
        QCOMPARE(readFile(m_path + ".corrupt"), garbage);
        PreferencesStore reopened(m_path);
        QCOMPARE(reopened.boolValue("TCLiveMenuBar"), true);
        QVERIFY(!reopened.contains("TCUnitMBytes"));
    }
};

TACHORA_TEST_CORE_MAIN(TestPreferencesStore)
#include "tst_preferencesstore.moc"
