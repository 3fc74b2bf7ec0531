#include "FakeService.h"
#include "TestSupport.h"

#include "AppDelegate.h"

#include "diagnostics/CrashReporter.h"
#include "platform/BuildConfig.h"
#include "platform/PreferencesStore.h"
#include "service/ServiceClient.h"
#include "settings/PreferenceKeys.h"

#include <QtWidgets>

#include <sodium.h>

using namespace std::chrono_literals;

class TestServiceClient : public QObject
{
    Q_OBJECT

    // The maker's service, and how it answers.
    FakeService m_service;
    QList<FakeService::Request> &m_requests = m_service.requests;
    int m_status = 200;
    QByteArray m_reply;
    // The sync answer's message and clock offset, and how it departs from a good answer.
    qint64 m_mid = 7;
    int m_skew = 0;
    QString m_msg, m_tweak;
    unsigned char m_public[32], m_secret[64], m_otherPublic[32], m_other[64];
    double m_now = 1'700'000'000;
    std::unique_ptr<ServiceClient> m_client;

    static PreferencesStore &store() { return PreferencesStore::shared(); }

    QByteArray checkAnswer(const QString &nonce)
    {
        const qint64 ts = qint64(m_now) + m_skew;
        const QByteArray text =
            (nonce + '\n' + QString::number(ts) + '\n' + QString::number(m_mid) + '\n' + m_msg)
                .toUtf8();
        unsigned char sig[64];
        crypto_sign_detached(sig, nullptr, (const uchar *)text.data(), size_t(text.size()),
                             m_tweak == "key" ? m_other : m_secret);
        QJsonObject answer{{"n", m_tweak == "nonce" ? nonce + "0" : nonce},
                           {"ts", m_tweak == "fraction" ? QJsonValue(ts + 0.25) : QJsonValue(ts)},
                           {"mid", m_tweak == "text mid" ? QJsonValue("7") : QJsonValue(m_mid)},
                           {"msg", m_tweak == "signature" ? m_msg + "!" : m_msg},
                           {"sig", QString(QByteArray((char *)sig, 64).toBase64())}};
        const QByteArray body = QJsonDocument(answer).toJson(QJsonDocument::Compact);
        return m_tweak.startsWith("pad") ? body.leftJustified(65536 + (m_tweak == "pad+1")) : body;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(sodium_init() >= 0);
        crypto_sign_keypair(m_public, m_secret);
        crypto_sign_keypair(m_otherPublic, m_other);
        m_service.handler = [this](const FakeService::Request &request) {
            const bool check = request.path == "/api/check.php";
            return FakeService::Answer{m_status, check ? checkAnswer(request.json()["n"].toString())
                                                       : m_reply};
        };
    }

    void init()
    {
        m_client = std::make_unique<ServiceClient>(
            ServiceClient::Config{m_service.origin(), QByteArray((char *)m_public, 32), nullptr,
                                  [this] { return m_now; }});
        m_requests.clear();
        m_reply = R"({"ok": true})", m_status = 200, m_mid = 7, m_msg = "Ça roule", m_skew = 0;
        m_tweak.clear();
        store().remove(PreferenceKeys::shownMessages);
    }

    void cleanup() { QTRY_COMPARE(m_client->requestsRunning(), 0); }

    // Only a 200 with "ok" true is a report taken. Every upload carries the identifier that
    // the first one made.
    void reportAndIdentity()
    {
        store().remove(PreferenceKeys::deviceId);
        const std::tuple<int, QByteArray, QString, bool> cases[] = {
            {200, R"({"ok": true})", "", true},
            {200, R"({"ok": true})", " ", true},
            {200, R"({"ok": false})", "a@b", false},
            {200, R"({"ok": 1})", "", false},
            {200, "", "", false},
            {500, R"({"ok": true})", "", false}};
        for (const auto &[status, reply, email, ok] : cases) {
            m_status = status, m_reply = reply;
            QCOMPARE(QCoro::waitFor(m_client->reportProblem("Texte", email)), ok);
            const QJsonObject sent = m_requests.last().json();
            QCOMPARE(sent["email"].toString("none"), email.isEmpty() ? "none" : email);
            QVERIFY(sent.size() == 5 - email.isEmpty() && sent["text"] == "Texte");
        }
        QCoro::waitFor(m_client->checkWithServer());
        CrashReporter::setServiceOrigin(m_service.origin());
        CrashReporter::reportError("x");
        QTRY_COMPARE(m_requests.size(), 8);
        const QString id = store().string(PreferenceKeys::deviceId).value_or("");
        const QRegularExpression uuid("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                                      "[0-9A-F]{12}$");
        QVERIFY(
            uuid.match(id).hasMatch()
            && m_requests[6].json()["n"].toString().contains(QRegularExpression("^[0-9A-F]{32}$")));
        for (const auto &request : std::as_const(m_requests))
            QVERIFY(request.json()["d"] == id && request.json()["os"] == ServiceClient::osString());
        m_client->setOrigin("http://127.0.0.1:9");
        QVERIFY(!QCoro::waitFor(m_client->reportProblem("Texte", {})));
    }

    void sync_data()
    {
        QTest::addColumn<QString>("tweak"); // of the answer; a number: its clock's offset
        QTest::addColumn<QVariant>("shown");
        QTest::addColumn<QList<qint64>>("after"); // the shown list once shown; empty: not taken
        QVariantList fifty;
        QList<qint64> newest;
        for (int id = 1; id <= 50; ++id)
            fifty.append(id), newest.append(id + 1);
        const auto row = [](const char *name, const char *tweak, QVariant shown = {},
                            QList<qint64> after = {}) {
            QTest::newRow(name) << QString(tweak) << shown << after;
        };
        row("message", "", {}, {7});
        row("599 s ahead", "599", {}, {7});
        row("600 s ahead", "600");
        row("600 s behind", "-600");
        row("mid 0", "mid 0");
        row("empty msg", "empty msg");
        row("shown before", "", QVariantList{3, 7});
        row("text in list", "", QVariantList{"a", 7}, {7});
        row("50 shown", "", fifty, newest);
        row("status 500", "http 500", {}, {7});
        row("other nonce", "nonce");
        row("bad signature", "signature");
        row("other key", "key");
        row("fraction ts", "fraction");
        row("text mid", "text mid");
        row("64 KB", "pad", {}, {7});
        row("64 KB + 1", "pad+1");
        row("no network", "offline");
    }

    void sync()
    {
        QFETCH(QString, tweak);
        QFETCH(QVariant, shown);
        QFETCH(QList<qint64>, after);
        m_tweak = tweak, m_skew = tweak.toInt();
        m_mid = tweak == "mid 0" ? 0 : after.value(after.size() - 1, 7);
        m_msg = tweak == "empty msg" ? "" : "Ça roule";
        m_status = tweak == "http 500" ? 500 : 200;
        if (shown.isValid())
            store().setValue(PreferenceKeys::shownMessages, shown);
        if (tweak == "offline")
            m_client->setOrigin("http://127.0.0.1:9");
        QCoro::waitFor(m_client->checkWithServer());
        QCOMPARE(m_client->pendingMessage().has_value(), !after.isEmpty());
        if (after.isEmpty()) {
            QCOMPARE(store().value(PreferenceKeys::shownMessages), shown);
            return;
        }
        QCOMPARE(m_client->pendingMessage()->text, m_msg);
        m_client->markMessageShown();
        QCOMPARE(store().integerList(PreferenceKeys::shownMessages), after);
        QCoro::waitFor(m_client->checkWithServer());
        QVERIFY(!m_client->pendingMessage());
    }

    // From the form to the service and back as its message, in the application.
    void reportThenMessage()
    {
        store().setBool(PreferenceKeys::onboarded, true);
        AppSetup setup;
        setup.trayAvailable = [] { return false; };
        setup.trayRetryInterval = 10ms;
        setup.service = m_client.get();
        setup.updater.feedUrl = "http://127.0.0.1:9/feed.json";
        AppDelegate app(std::move(setup));
        m_mid = 0;
        app.applicationDidFinishLaunching();
        QString prefilled;
        const auto form = [&](const QString &text, const QString &email, const char *button) {
            app.reportProblemPressed(nullptr);
            QWidget *dialog = QApplication::activeModalWidget();
            auto *editor = dialog->findChild<QPlainTextEdit *>();
            auto *line = dialog->findChild<QLineEdit *>();
            auto *send = dialog->findChild<QPushButton *>("sendButton");
            QVERIFY(dialog->focusWidget() == editor && send->isDefault()
                    && send->x() < dialog->findChild<QPushButton *>("cancelButton")->x());
            prefilled = editor->toPlainText() + "|" + line->text();
            editor->setPlainText(text);
            line->setText(email);
            dialog->findChild<QPushButton *>(button)->click();
        };
        const auto alerts = [] {
            QStringList texts;
            for (QWidget *widget : QApplication::topLevelWidgets())
                if (auto *alert = qobject_cast<QMessageBox *>(widget); alert && alert->isVisible())
                    texts.append(alert->text() + "|" + alert->informativeText());
            return texts;
        };
        QTRY_COMPARE(m_requests.size(), 1);
        form("Texte", "", "cancelButton");
        form(" \n\t\n ", "a@b.c", "sendButton");
        m_status = 500;
        form("\n  Ça rame\n\nbeaucoup \n", " a@b.c", "sendButton");
        QTRY_COMPARE(alerts(), QStringList{"Envoi impossible|Impossible d'envoyer pour le moment "
                                           "(réseau\u202F?). Réessaie plus tard ou écris à "
                                           + QString(BuildConfig::supportEmail) + "."});
        QVERIFY(m_requests.size() == 2 && m_requests[1].json()["text"] == "Ça rame\n\nbeaucoup");

        // The draft comes back; two reports at once, the form usable meanwhile.
        m_status = 200, m_service.hold = true;
        form("Ça rame", " a@b.c", "sendButton");
        QCOMPARE(prefilled, "Ça rame\n\nbeaucoup| a@b.c");
        form("Encore", "", "sendButton");
        QCOMPARE(prefilled, "|");
        QTRY_COMPARE(m_requests.size(), 4);
        m_service.release();
        QTRY_COMPARE(
            alerts().count("Merci\u202F!|Ton signalement est bien parti. La réponse arrivera "
                           "dans l'app."),
            2);
        QVERIFY(!store().contains(PreferenceKeys::reportDraftText));

        // The answer shows once, as plain text, and no sync runs while it is on screen.
        m_mid = 7, m_msg = "<b>Merci</b> <a href=\"https://x.example\">lien</a>";
        auto *hourly = app.findChild<QTimer *>("hourlySync");
        hourly->start(10);
        QTRY_COMPARE(alerts().count("Message de Korvel|" + m_msg), 1);
        const qsizetype asked = m_requests.size();
        QSignalSpy ticks(hourly, &QTimer::timeout);
        QTRY_VERIFY(ticks.size() > 3);
        auto *alert = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        for (QLabel *label : alert->findChildren<QLabel *>())
            QVERIFY(label->textFormat() == Qt::PlainText && !label->openExternalLinks());
        QCOMPARE(m_requests.size(), asked);
        alert->accept();
        QCOMPARE(store().integerList(PreferenceKeys::shownMessages), QList<qint64>{7});
        QTRY_VERIFY(m_requests.size() > asked + 2);
        QCOMPARE(alerts().count("Message de Korvel|" + m_msg), 0);
    }

    // Mutated signed answers: none gives a message unless it still says the same.
    void fuzzedAnswers()
    {
        const QByteArray answer = checkAnswer("N"), key((char *)m_public, 32);
        QVERIFY(SyncAnswer::decode(answer, "N", key, m_now));
        QRandomGenerator random(14);
        for (int round = 0; round < 5000; ++round) {
            QByteArray bytes = answer;
            // Each edit puts up to 2 copies of a random byte in place of up to 2 bytes, or cuts.
            for (int edits = 1 + random.bounded(4); edits > 0; --edits) {
                const int at = random.bounded(int(bytes.size()) + 1);
                bytes = bytes.left(at) + QByteArray(random.bounded(3), char(random.bounded(256)))
                        + (random.bounded(8) ? bytes.mid(at + random.bounded(3)) : QByteArray());
            }
            const bool same = QJsonDocument::fromJson(bytes) == QJsonDocument::fromJson(answer);
            QVERIFY2(same || !SyncAnswer::decode(bytes, "N", key, m_now), bytes.constData());
        }
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestServiceClient)
#include "tst_serviceclient.moc"
