// SPDX-License-Identifier: GPL-3.0-or-later
#include "FakeService.h"
#include "TestSupport.h"

#include "Ed25519.h"
#include "Updater.h"

#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"

using namespace std::chrono_literals;
using Update = Updater::Update;

class TestUpdater : public QObject
{
    Q_OBJECT

    // Serves m_files by path, 404 otherwise.
    FakeService m_service;
    QHash<QByteArray, QByteArray> m_files;
    Ed25519::KeyPair m_keys = Ed25519::newKeyPair();
    QDateTime m_now = QDateTime(QDate(2026, 12, 6), QTime(12, 0), Qt::UTC);
    QTemporaryDir m_cache;
    const QByteArray m_package = QByteArray("!<arch>\n").repeated(5000);

    QByteArray url(const char *path) const { return m_service.origin().toUtf8() + path; }

    Update release(const QString &version) const
    {
        const QByteArray hash = QCryptographicHash::hash(m_package, QCryptographicHash::Sha256);
        return Update(version, url("/tachora.deb"), m_package.size(), hash,
                      Ed25519::sign(m_package, m_keys.secretKey), "Plus rapide.",
                      m_now.addDays(30));
    }

    QByteArray feed(const Update &update) { return UpdateFeed::write(update, m_keys.secretKey); }
    void serve(const QString &version) { m_files["/feed.json"] = feed(release(version)); }

    std::unique_ptr<Updater> updater()
    {
        return std::make_unique<Updater>(UpdaterConfig{url("/feed.json"), QList{m_keys.publicKey},
                                                       "1.2.0", m_cache.path(),
                                                       [this] { return m_now; }, nullptr, 2s, 1s});
    }

    static PreferencesStore &store() { return PreferencesStore::shared(); }

private slots:
    void initTestCase()
    {
        m_service.handler = [this](const FakeService::Request &request) {
            const bool found = m_files.contains(request.path);
            return FakeService::Answer{found ? 200 : 404, m_files.value(request.path)};
        };
    }

    void init()
    {
        QDir(m_cache.path()).removeRecursively();
        m_files = {{"/tachora.deb", m_package}};
        m_service.requests.clear();
        m_service.trickle = 0ms;
        QFile::remove(store().filePath());
        // Only the scheduling test checks on its own.
        store().setBool(PreferenceKeys::updateAutoCheck, false);
    }

    void readFeed_data()
    {
        TestSupport::addColumns<QByteArray, QString>("body", "error");
        const QByteArray valid = feed(release("1.3.0"));
        QTest::newRow("valid") << valid << "";
        QTest::newRow("unsigned") << valid.left(valid.lastIndexOf(",")) + "}"
                                  << "unsigned";
        // The signature's last character before "==" has two unused bits: setting one decodes
        // to the same signature, but is not what was signed.
        QByteArray respelled = valid;
        const qsizetype last = respelled.lastIndexOf("==") - 1;
        const QByteArray alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        respelled[last] = alphabet[alphabet.indexOf(respelled[last]) + 1];
        QTest::newRow("signature spelled another way") << respelled << "bad signature";
        QTest::newRow("bad version") << feed(release("v1.3")) << "bad version";
        Update update = release("1.3.0");
        update.expires = m_now;
        QTest::newRow("expired") << feed(update) << "expired";
        update = release("1.3.0");
        update.url = "http://downloads.example/tachora_1.3.0.deb";
        QTest::newRow("package in clear") << feed(update) << "bad url";
        update.url = "https://downloads.example/tachora_1.3.0.deb";
        QTest::newRow("package over TLS") << feed(update) << "";
    }

    void readFeed()
    {
        const auto [body, error] = TestSupport::fetch<QByteArray, QString>("body", "error");
        const UpdateFeed::Reading reading = UpdateFeed::read(body, {m_keys.publicKey}, m_now);
        QCOMPARE(reading.error, error);
        QCOMPARE(reading.update.has_value(), error.isEmpty());
        // Every byte of a feed that is taken is signed.
        for (qsizetype at = 0; error.isEmpty() && at < body.size(); ++at) {
            QByteArray changed = body;
            changed[at] = char(changed[at] ^ 0x01);
            QVERIFY2(!UpdateFeed::read(changed, {m_keys.publicKey}, m_now).update,
                     qPrintable(QString::number(at)));
        }
    }

    void versions()
    {
        const std::tuple<const char *, const char *, bool> cases[] = {
            {"1.2.1", "1.2.0", true}, {"1.10.0", "1.9.9", true},   {"1.2.0.1", "1.2", true},
            {"1.2", "1.2.0", false},  {"1.1.9", "1.2.0", false},   {"2.0-beta", "1.0", false},
            {"2.0", "dev", false},    {"12345678901", "1", false},
        };
        for (const auto &[candidate, installed, newer] : cases)
            QVERIFY2(UpdateFeed::isNewer(candidate, installed) == newer, candidate);
    }

    void check_data()
    {
        // A version, "404" or "trickle"; the outcome.
        TestSupport::addColumns<QString, int>("served", "outcome");
        QTest::newRow("newer") << "1.3.0" << int(Updater::Outcome::available);
        QTest::newRow("equal") << "1.2.0" << int(Updater::Outcome::upToDate);
        QTest::newRow("no feed") << "404" << int(Updater::Outcome::failed);
        // A feed that trickles in ends the check at its deadline, with an answer.
        QTest::newRow("trickling feed") << "trickle" << int(Updater::Outcome::failed);
    }

    void check()
    {
        const auto [served, outcome] = TestSupport::fetch<QString, int>("served", "outcome");
        serve(served == "trickle" ? "1.3.0" : served);
        if (served == "404")
            m_files.remove("/feed.json");
        m_service.trickle = served == "trickle" ? 500ms : 0ms;
        auto checker = updater();
        QList<std::pair<int, QString>> answers;
        checker->onCheckFinished = [&](auto result, const auto &update) {
            answers.append({int(result), update ? update->version : QString()});
        };
        // A second request while the first runs is answered by the first.
        checker->checkForUpdates();
        checker->checkForUpdates();
        QTRY_COMPARE(answers.size(), 1);
        QCOMPARE(answers[0], std::pair(outcome, outcome == 1 ? served : QString()));
        QCOMPARE(m_service.requests.size(), 1);
        QCOMPARE(store().contains(PreferenceKeys::updateLastCheck), outcome != 2);
    }

    // One package at a time, its progress told as it comes; a download the user cancels ends
    // without an answer.
    void downloadProgressAndCancel()
    {
        m_service.trickle = 20ms;
        auto checker = updater();
        QList<qint64> progress;
        int answers = 0;
        checker->onDownloadProgress = [&](qint64 received, qint64 total) {
            if (total == m_package.size())
                progress.append(received);
        };
        checker->onDownloadFinished = [&](auto &, const auto &package) {
            answers += package ? 1 : 100;
        };
        const Update update = release("1.3.0");
        checker->downloadUpdate(update);
        checker->downloadUpdate(update);
        QTRY_VERIFY(progress.size() >= 3);
        QCOMPARE(m_service.requests.size(), 1);
        checker->cancelDownload();
        QTRY_VERIFY(!checker->isDownloading());
        m_service.trickle = 0ms;
        checker->downloadUpdate(update);
        QTRY_COMPARE(answers, 1);
        QCOMPARE(progress.last(), m_package.size());
        QCOMPARE(m_service.requests.size(), 2);
    }

    void download_data()
    {
        TestSupport::addColumns<QByteArray, bool>("served", "intact");
        QTest::newRow("intact") << m_package << true;
        QTest::newRow("longer") << m_package + "x" << false;
        QTest::newRow("other bytes") << QByteArray(m_package).replace("arch", "ARCH") << false;
        QTest::newRow("other signer") << m_package << false;
        // A copy in the cache is checked again, and fetched anew when it does not pass.
        QTest::newRow("tampered copy in the cache") << m_package << true;
    }

    void download()
    {
        const auto [served, intact] = TestSupport::fetch<QByteArray, bool>("served", "intact");
        const QByteArray tag = QTest::currentDataTag();
        m_files["/tachora.deb"] = served;
        Update update = release("1.3.0");
        if (tag == "other signer")
            update.packageSignature = Ed25519::sign(m_package, Ed25519::newKeyPair().secretKey);
        const QString copy = m_cache.filePath("tachora_1.3.0.deb");
        if (tag.contains("cache"))
            QVERIFY(QDir().mkpath(m_cache.path())
                    && TestSupport::writeFile(copy, QByteArray(m_package).replace("arch", "ARCH")));
        auto checker = updater();
        std::optional<std::optional<QString>> package;
        checker->onDownloadFinished = [&](auto &, const auto &path) { package = path; };
        checker->downloadUpdate(update);
        QTRY_VERIFY(package);
        QCOMPARE(package->value_or(""), intact ? copy : "");
        QVERIFY(!intact || TestSupport::readFile(copy) == m_package);
    }

    // Scheduled checks: when due, told once per version, with the package fetched first.
    void scheduled()
    {
        store().setBool(PreferenceKeys::updateAutoCheck, true);
        store().setBool(PreferenceKeys::updateAutoDownload, true);
        serve("1.3.0");
        QStringList found;
        auto checker = updater();
        checker->setUpdateCheckInterval(1h);
        int answers = 0;
        checker->onCheckFinished = [&](auto, auto &) { ++answers; };
        checker->onUpdateFound = [&](const Update &update, const std::optional<QString> &package) {
            found.append(update.version + (package && QFile::exists(*package) ? "+deb" : ""));
            // Asked while the scheduled check is still running: it answers too.
            if (found.size() == 1)
                checker->checkForUpdates();
        };
        QTRY_COMPARE(found, QStringList{"1.3.0+deb"});
        QTRY_VERIFY(!checker->isChecking());
        QCOMPARE(m_service.requests.size(), 2);
        QCOMPARE(answers, 1);

        checker->checkForUpdatesInBackground();
        QVERIFY(!checker->isChecking());
        m_now = m_now.addSecs(3601);
        checker->checkForUpdatesInBackground();
        QTRY_COMPARE(m_service.requests.size(), 3);
        QTRY_VERIFY(!checker->isChecking());
        serve("1.4.0");
        m_now = m_now.addSecs(3601);
        checker->checkForUpdatesInBackground();
        QTRY_COMPARE(found, (QStringList{"1.3.0+deb", "1.4.0+deb"}));
    }
};

TACHORA_TEST_CORE_MAIN(TestUpdater)
#include "tst_updater.moc"
