// SPDX-License-Identifier: GPL-3.0-or-later
// The tray item as KDE Plasma and GNOME's AppIndicator extension see it: a StatusNotifierItem
// on the session bus, read and driven through a stand-in tray (sni-watcher.py). Runs on a
// private session bus and a virtual X server (on-session-bus.sh).

#include "AppFixture.h"
#include "SpeedServerProcess.h"

#include "live/StatusItemController.h"
#include "live/StatusItemIcon.h"
#include "platform/BuildConfig.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"

namespace {

// The stand-in tray: the events it prints, and its answers to the commands it is sent. Our
// event loop runs while it waits, since the tray's calls come back to our own item.
class StandInTray
{
public:
    ~StandInTray()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

    bool start()
    {
        TestSupport::startChild(m_process, "/usr/bin/python3", {WATCHER_PATH});
        return waitForEvent(QStringLiteral("ready")).has_value();
    }

    // Takes the first unread event that begins with these words, and the events before it:
    // its remaining words; nothing when none came within 10 seconds.
    std::optional<QString> waitForEvent(const QString &words)
    {
        const QString prefix = words + u' ';
        std::optional<QString> event;
        const auto came = [&] {
            read();
            for (qsizetype index = 0; index < m_events.size() && !event; ++index) {
                if (const QString line = m_events.at(index) + u' '; line.startsWith(prefix)) {
                    m_events.remove(0, index + 1);
                    event = line.sliced(prefix.size()).trimmed();
                }
            }
            return event.has_value();
        };
        return QTest::qWaitFor(came, 10000) ? event : std::nullopt;
    }
    void forgetEvents()
    {
        read();
        m_events.clear();
    }

    // Sends a command and returns its answer, null when none came within 10 seconds.
    QJsonValue ask(const QString &command)
    {
        m_process.write(command.toUtf8() + '\n');
        const auto answered = [this] {
            read();
            return !m_answers.isEmpty();
        };
        return QTest::qWaitFor(answered, 10000) ? m_answers.takeFirst() : QJsonValue();
    }

private:
    void read()
    {
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine().trimmed();
            // Answers are JSON; events are words, which do not parse.
            const QJsonArray answer = QJsonDocument::fromJson("[" + line + "]").array();
            if (answer.isEmpty())
                m_events.append(QString::fromUtf8(line));
            else
                m_answers.append(answer.first());
        }
    }

    QProcess m_process;
    QStringList m_events;
    QList<QJsonValue> m_answers;
};

// An IconPixmap entry, [width, height, ARGB32 in network byte order], as an image.
QImage decodePixmap(const QJsonValue &pixmap)
{
    const QJsonArray fields = pixmap.toArray();
    QImage image(fields.at(0).toInt(), fields.at(1).toInt(), QImage::Format_ARGB32);
    const QByteArray bytes = QByteArray::fromBase64(fields.at(2).toString().toLatin1());
    if (image.isNull() || bytes.size() != image.sizeInBytes())
        return {};
    qFromBigEndian<quint32>(bytes.constData(), qsizetype(image.width()) * image.height(),
                            image.bits());
    return image;
}

} // namespace

class TestSni : public QObject
{
    Q_OBJECT

    StandInTray m_tray;
    SpeedServerProcess m_server;
    AppFixture m_fixture;
    // The bus name the item registered with.
    QString m_item;

    // Waits until an item has registered with the tray.
    void waitForRegistration()
    {
        const std::optional<QString> registered = m_tray.waitForEvent("registered");
        QVERIFY(registered);
        m_item = registered->section(u' ', 0, 0);
    }

    QJsonValue ask(const char *command, const QString &argument = {})
    {
        return m_tray.ask(QLatin1String(command) + u' ' + m_item + u' ' + argument);
    }
    // The labels of the menu's entries as the tray has them, "-" for a separator.
    QStringList menu()
    {
        QStringList labels;
        for (const QJsonValue entry : ask("layout").toArray())
            labels.append(entry["type"] == "separator" ? "-" : entry["label"].toString());
        return labels;
    }
    // Chooses the menu's entry of this label, as the tray does when the user clicks it; false
    // when there is none, or the item did not take it.
    bool choose(const QString &label)
    {
        for (const QJsonValue entry : ask("layout").toArray())
            if (entry["label"] == label)
                return ask("click", QString::number(entry["id"].toInt())) == true;
        return false;
    }

    static QStringList menuLabels()
    {
        const char *updates = BuildConfig::updaterEnabled
                                  ? "Rechercher des mises à jour…"
                                  : "Mises à jour par le gestionnaire de paquets";
        return {"Lancer le test", "Ouvrir Tachora…", "-", updates, "Signaler un problème…", "-",
                "Quitter Tachora"};
    }

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("needs a session bus and an X server: see tests/app/sni/on-session-bus.sh");
        QVERIFY(m_tray.start());
        // Qt looks for the tray once, when the first item asks for it.
        QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
        QVERIFY(m_server.start());
        m_fixture.engine =
            std::make_unique<SpeedTestEngine>(TestSupport::quickConfig(m_server.origin()));
        m_fixture.tray = true;
    }

    void init()
    {
        PreferencesStore::shared().setBool(PreferenceKeys::onboarded, true);
        PreferencesStore::shared().setBool(PreferenceKeys::menuBarMode, true);
        m_tray.forgetEvents();
    }

    void cleanup()
    {
        QVERIFY(m_fixture.quit());
        QVERIFY(m_item.isEmpty() || m_tray.waitForEvent("unregistered " + m_item));
        m_item.clear();
    }

    // Started and cancelled from the menu, the item's first entry follows the engine. The live
    // text's badge, as the tray takes it: a picture for each size offered, none of them scaled
    // from another.
    void inTrayMode()
    {
        m_fixture.launch();
        waitForRegistration();
        QVERIFY(choose("Lancer le test"));
        QTRY_VERIFY(m_fixture.engine->isRunning());
        // A panel shows the menu it was last told of: it must hear of the new one.
        QVERIFY(m_tray.waitForEvent("LayoutUpdated"));
        QCOMPARE(menu(), QStringList{"Arrêter le test"} + menuLabels().mid(1));
        // The item's signals come before its answers: none of this change is left over.
        m_tray.forgetEvents();
        QVERIFY(choose("Arrêter le test"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_fixture.engine->isRunning(), 10000);
        QVERIFY(m_tray.waitForEvent("LayoutUpdated"));
        QCOMPARE(menu(), menuLabels());

        const std::optional<QString> text = "↓1,5M";
        m_fixture.app->statusController().setLiveText(text);
        const QJsonObject item = ask("item").toObject();
        QCOMPARE(item.value("Status"), "Active");

        QList<int> sizes;
        for (const QJsonValue pixmap : item.value("IconPixmap").toArray()) {
            const QImage image = decodePixmap(pixmap);
            sizes.append(image.width());
            QVERIFY2(image
                         == StatusItemIcon::render(text, QGuiApplication::palette(), image.width())
                                .convertToFormat(QImage::Format_ARGB32),
                     qPrintable(QString::number(image.width())));
        }
        QCOMPARE(sizes,
                 QList<int>(std::begin(StatusItemIcon::sizes), std::end(StatusItemIcon::sizes)));
    }

    // The program itself, as a desktop session starts it.
    // A test started from the tray ends in a notification when the window is out of sight,
    // and only then: the window says it otherwise.
    void endNotifiedOutOfSight()
    {
        m_fixture.launch();
        waitForRegistration();
        m_fixture.app->showMainWindow(nullptr);
        QVERIFY(choose("Lancer le test"));
        QTRY_VERIFY(m_fixture.engine->isRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!m_fixture.engine->isRunning(), 20000);
        // Notifications reach the daemon in the order they are sent.
        m_fixture.app->statusController().trayIcon()->showMessage("mark", "-");
        QCOMPARE(m_tray.waitForEvent("notify").value_or("none"), "mark|-");

        m_fixture.app->mainWindow()->close();
        QVERIFY(choose("Lancer le test"));
        const std::optional<QString> shown = m_tray.waitForEvent("notify");
        QVERIFY(shown);
        static const QRegularExpression summary(
            "^Tachora\\|↓ [0-9,]+ Mbps · ↑ [0-9,]+ Mbps · [0-9]+ ms$");
        QVERIFY2(summary.match(*shown).hasMatch(), qPrintable(*shown));
    }

    void application()
    {
        QProcess app;
        TestSupport::startChild(
            app, TACHORA_PATH,
            {"--server", m_server.origin(), "--service", TestSupport::closedOrigin},
            QProcess::ForwardedChannels);
        waitForRegistration();
        QCOMPARE(menu(), menuLabels());
        QVERIFY(choose("Quitter Tachora"));
        QTRY_VERIFY_WITH_TIMEOUT(app.state() == QProcess::NotRunning, 10000);
        QVERIFY(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0);
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestSni)
#include "tst_sni.moc"
