// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppFixture.h"
#include "FakeService.h"

#include "diagnostics/CrashReporter.h"
#include "platform/PreferencesStore.h"
#include "service/ReportAlert.h"
#include "service/ServiceClient.h"
#include "settings/PreferenceKeys.h"

#include <QtWidgets>

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
    Ed25519::KeyPair m_keys = Ed25519::newKeyPair(), m_otherKeys = Ed25519::newKeyPair();
    double m_now = 1'700'000'000;
    std::unique_ptr<ServiceClient> m_client;

    static PreferencesStore &store() { return PreferencesStore::shared(); }

    QByteArray checkAnswer(const QString &nonce)
    {
        const qint64 ts = qint64(m_now) + m_skew;
        const QByteArray text =
            (nonce + '\n' + QString::number(ts) + '\n' + QString::number(m_mid) + '\n' + m_msg)
                .toUtf8();
        const QByteArray sig =
            Ed25519::sign(text, (m_tweak == "key" ? m_otherKeys : m_keys).secretKey);
        QJsonObject answer{{"n", m_tweak == "nonce" ? nonce + "0" : nonce},
                           {"ts", ts},
                           {"mid", m_mid},
                           {"msg", m_msg},
                           {"sig", QString(sig.toBase64())}};
        const QByteArray body = QJsonDocument(answer).toJson(QJsonDocument::Compact);
        return m_tweak.startsWith("pad") ? body.leftJustified(65536 + (m_tweak == "pad+1")) : body;
    }

    // The child of the open dialog.
    template <typename T>
    static T *modal(const char *name = nullptr)
    {
        return QApplication::activeModalWidget()->findChild<T *>(name);
    }

private slots:
    void initTestCase()
    {
        m_service.handler = [this](const FakeService::Request &request) {
            const bool check = request.path == "/api/check.php";
            return FakeService::Answer{m_status, check ? checkAnswer(request.json()["n"].toString())
                                                       : m_reply};
        };
    }

    void init()
    {
        m_client = std::make_unique<ServiceClient>(ServiceClient::Config{
            m_service.origin(), m_keys.publicKey, nullptr, [this] { return m_now; }});
        m_requests.clear();
        m_reply = R"({"ok": true})", m_status = 200, m_mid = 7, m_msg = "Ça roule", m_skew = 0;
        m_tweak.clear();
        m_service.trickle = 0ms;
        QFile::remove(store().filePath());
    }

    void cleanup() { QTRY_COMPARE(m_client->requestsRunning(), 0); }

    // Only a 200 with "ok" true is a report taken; a 4xx that is not about the pace refuses it
    // for good. The alert says which, and why from the status; when the report did not go, it
    // says that the text waits in the form, or where to write. Every upload carries the
    // identifier that the first one made.
    void reportAndIdentity()
    {
        // The answer, the address given, and the start of the alert's title|text.
        const std::tuple<int, QByteArray, QString, QString> cases[] = {
            {200, R"({"ok": true})", "", "Merci !|Ton signalement est bien parti"},
            {200, R"({"ok": true})", " ", "Merci !|"},
            {200, R"({"ok": false})", "a@b", "Envoi impossible|Impossible d’envoyer"},
            {200, R"({"ok": 1})", "", "Envoi impossible|"},
            {429, R"({"ok": true})", "", "Envoi impossible|"},
            {503, "", "", "Envoi impossible|Le service est indisponible pour le moment"},
            {400, R"({"ok": false, "error": "text is too long"})", "",
             "Envoi refusé|Le service a refusé ton message (HTTP 400)"},
            {413, "", "", "Envoi refusé|Ton message est trop long pour le service"}};
        const auto report = [this](const QString &email) {
            const auto [title, text] = ReportAlert::forAnswer(
                QCoro::waitFor(m_client->reportProblem("Texte", email)), "aide@example.org");
            return title + u'|' + text;
        };
        for (const auto &[status, reply, email, told] : cases) {
            m_status = status, m_reply = reply;
            const QString alert = report(email);
            QVERIFY2(alert.startsWith(told)
                         && (alert.startsWith("Merci") || alert.contains("formulaire")
                             || alert.contains("aide@example.org")),
                     qPrintable(alert));
            const QJsonObject sent = m_requests.last().json();
            QCOMPARE(sent["email"].toString("none"), email.isEmpty() ? "none" : email);
            QVERIFY(sent.size() == 5 - email.isEmpty() && sent["text"] == "Texte");
        }
        QCoro::waitFor(m_client->checkWithServer());
        CrashReporter::setServiceOrigin(m_service.origin());
        CrashReporter::reportError("x");
        QTRY_COMPARE(m_requests.size(), 10);
        const QString id = store().string(PreferenceKeys::deviceId).value_or("");
        // A random UUID (its variant checked too) in capitals; the sync's nonce, 32 hex digits.
        QVERIFY(QUuid(id).version() == QUuid::Random && id == id.toUpper() && id.size() == 36);
        QVERIFY(
            m_requests[8].json()["n"].toString().contains(QRegularExpression("^[0-9A-F]{32}$")));
        for (const auto &request : std::as_const(m_requests))
            QVERIFY(request.json()["d"] == id && request.json()["os"] == ServiceClient::osString());
        m_client->setOrigin("http://127.0.0.1:9");
        QVERIFY(report({}).startsWith("Envoi impossible|Impossible d’envoyer pour le moment"));
    }

    // A service that trickles its answers holds neither a report nor a sync past its deadline,
    // and the next sync is not kept waiting behind a hung one.
    void deadlines()
    {
        m_service.trickle = 1s;
        ServiceClient client({m_service.origin(), m_keys.publicKey, nullptr,
                              [this] { return m_now; }, 800ms, 800ms});
        std::optional<ReportOutcome> report;
        int synced = 0;
        client.reportProblem("Texte", {}).then([&](ReportAnswer answer) {
            report = answer.outcome;
        });
        client.checkWithServer().then([&] { ++synced; });
        QTRY_VERIFY_WITH_TIMEOUT(report && synced == 1, 10000);
        QCOMPARE(*report, ReportOutcome::failed);
        QVERIFY(!client.pendingMessage());
        m_service.trickle = 0ms;
        QCoro::waitFor(client.checkWithServer());
        QVERIFY(client.pendingMessage());
        QTRY_COMPARE(client.requestsRunning(), 0);
    }

    void sync_data()
    {
        // The tweak of the answer (a number: its clock's offset), the shown list before, and
        // after the message was shown (empty: not taken).
        TestSupport::addColumns<QString, QVariant, QList<qint64>>("tweak", "shown", "after");
        QVariantList fifty;
        QList<qint64> newest;
        for (int id = 1; id <= 50; ++id) {
            fifty.append(id);
            newest.append(id + 1);
        }
        const auto row = [](const char *name, const char *tweak, QVariant shown = {},
                            QList<qint64> after = {}) {
            QTest::newRow(name) << QString(tweak) << shown << after;
        };
        row("message", "", {}, {7});
        row("599 s ahead", "599", {}, {7});
        row("shown before", "", QVariantList{3, 7});
        row("text in list", "", QVariantList{"a", 7}, {7});
        row("50 shown", "", fifty, newest);
        row("status 500", "http 500", {}, {7});
        row("64 KB", "pad", {}, {7});
        // Not taken: 600 s ahead or behind, no id, no text, another nonce or key, over 64 KB,
        // no network.
        for (const char *tweak :
             {"600", "-600", "mid 0", "empty msg", "nonce", "key", "pad+1", "offline"})
            row(tweak, tweak);
    }

    void sync()
    {
        const auto [tweak, shown, after] =
            TestSupport::fetch<QString, QVariant, QList<qint64>>("tweak", "shown", "after");
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

    // From the form to the service and back as its message, in the application. The form
    // holds to the service's limits, keeps what is typed as it is typed, and says so when the
    // service refuses a report for what it holds; the draft stays until it is taken.
    void reportThenMessage()
    {
        store().setBool(PreferenceKeys::onboarded, true);
        AppFixture fixture;
        AppSetup setup = fixture.setup();
        setup.service = m_client.get();
        m_mid = 0;
        AppDelegate *app = &fixture.launch(std::move(setup));
        QTRY_COMPARE(m_requests.size(), 1);
        app->reportProblemPressed(nullptr);
        auto *editor = modal<QPlainTextEdit>("reportText");
        auto *count = modal<QLabel>("reportCount");
        QCOMPARE(modal<QLineEdit>("reportEmail")->maxLength(), 254);
        // Counted as sent: trimmed, in UTF-16 units.
        const std::tuple<qsizetype, bool, bool> lengths[] = {
            {100, false, true}, {15000, true, true}, {16000, true, true}, {16001, true, false}};
        for (const auto &[length, counted, sendable] : lengths) {
            editor->setPlainText(" \n" + QString(length - 2, u'é') + QString("😀") + "\n ");
            QCOMPARE(count->isVisible(), counted);
            QCOMPARE(modal<QPushButton>("sendButton")->isEnabled(), sendable);
            QVERIFY2(!counted || count->text().startsWith(QString("%1 / 16000").arg(length)),
                     qPrintable(count->text()));
        }
        editor->clear();
        QTest::keyClicks(editor, "Ça plante");
        QTRY_COMPARE(store().string(PreferenceKeys::reportDraftText), "Ça plante");
        // Given up, it is gone: the next form starts empty, with nothing to send.
        modal<QPushButton>("cancelButton")->click();
        QVERIFY(!store().contains(PreferenceKeys::reportDraftText));
        app->reportProblemPressed(nullptr);
        QVERIFY(modal<QPlainTextEdit>()->toPlainText().isEmpty()
                && !modal<QPushButton>("sendButton")->isEnabled());
        QTest::keyClicks(modal<QPlainTextEdit>(), "Ça plante");
        m_status = 400,
        m_reply = R"({"ok": false, "error": "text is longer than 16000 characters"})";
        modal<QPushButton>("sendButton")->click();
        QTRY_VERIFY(AppFixture::alerts().value(0).startsWith(
            "Envoi refusé|Le service a refusé ton message (HTTP 400)"));
        QCOMPARE(store().string(PreferenceKeys::reportDraftText), "Ça plante");
        qobject_cast<QMessageBox *>(QApplication::activeModalWidget())->accept();
        // A send that failed keeps it for the next form.
        app->reportProblemPressed(nullptr);
        QCOMPARE(modal<QPlainTextEdit>()->toPlainText(), "Ça plante");
        QCOMPARE(modal<QPlainTextEdit>()->textCursor().position(), 9);
        modal<QPushButton>("cancelButton")->click();

        const auto sendForm = [&](const QString &text, const QString &email) {
            app->reportProblemPressed(nullptr);
            auto *send = modal<QPushButton>("sendButton");
            QVERIFY(QApplication::activeModalWidget()->focusWidget() == modal<QPlainTextEdit>()
                    && send->isDefault() && send->x() < modal<QPushButton>("cancelButton")->x());
            modal<QPlainTextEdit>()->setPlainText(text);
            modal<QLineEdit>()->setText(email);
            send->click();
        };
        sendForm(" \n\t\n ", "a@b.c");
        m_status = 500;
        sendForm("\n  Ça rame\n\nbeaucoup \n", " a@b.c");
        QTRY_VERIFY(AppFixture::alerts().size() == 1
                    && AppFixture::alerts()[0].startsWith("Envoi impossible|")
                    && AppFixture::alerts()[0].contains("indisponible"));
        QVERIFY(m_requests.size() == 3 && m_requests[2].json()["text"] == "Ça rame\n\nbeaucoup");

        // Two reports at once, the form usable meanwhile. Each stays stored until the service
        // has it.
        m_status = 200, m_reply = R"({"ok": true})", m_service.hold = true;
        for (const QString text : {"Ça rame", "Encore"}) {
            sendForm(text, "");
            QTRY_COMPARE(m_requests.last().json()["text"].toString(), text);
            QCOMPARE(store().string(PreferenceKeys::reportDraftText), text);
        }
        m_service.release();
        QTRY_COMPARE(AppFixture::alerts().filter(QRegularExpression("^Merci\u202F!\\|")).size(), 2);
        QVERIFY(!store().contains(PreferenceKeys::reportDraftText));

        // The answer shows once, as plain text and as it was written, and no sync runs while
        // it is on screen.
        m_mid = 7, m_msg = "<b>Merci</b> : <a href=\"https://x.example\">lien</a> !";
        auto *hourly = app->findChild<QTimer *>("hourlySync");
        hourly->start(10);
        QTRY_COMPARE(AppFixture::alerts().count("Message de Korvel|" + m_msg), 1);
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
        QCOMPARE(AppFixture::alerts().count("Message de Korvel|" + m_msg), 0);
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestServiceClient)
#include "tst_serviceclient.moc"
