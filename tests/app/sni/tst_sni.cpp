// The tray item as KDE Plasma and GNOME's AppIndicator extension see it: a StatusNotifierItem
// on the session bus, read and driven through a stand-in tray (sni-watcher.py). Runs on a
// private session bus and a virtual X server (on-session-bus.sh).

#include "TestSupport.h"

#include "SpeedServerProcess.h"

#include "AppDelegate.h"
#include "MainWindow.h"

#include "service/ServiceClient.h"

#include "live/LiveThroughputMonitor.h"
#include "live/StatusItemController.h"
#include "live/StatusItemIcon.h"
#include "platform/BuildConfig.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"
#include "settings/SpeedSettings.h"

#include <QtWidgets>

using namespace std::chrono_literals;

namespace {

// The stand-in tray: the events it prints, and its answers to the commands it is sent.
class StandInTray
{
public:
    ~StandInTray()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished();
    }

    bool start()
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(WATCHER_PATH)});
        return waitForEvent(QStringLiteral("ready")).has_value();
    }

    // takeEvent(), waiting up to 10 seconds for the event to come.
    std::optional<QString> waitForEvent(const QString &words)
    {
        QDeadlineTimer deadline(10s);
        std::optional<QString> event;
        while (!(event = takeEvent(words)) && !deadline.hasExpired() && waitForLine(deadline)) {
        }
        return event;
    }

    // Takes the first unread event that begins with these words, and the events before it:
    // its remaining words; nothing when there is none yet.
    std::optional<QString> takeEvent(const QString &words)
    {
        read();
        const QString prefix = words + u' ';
        for (qsizetype index = 0; index < m_events.size(); ++index) {
            const QString line = m_events.at(index) + u' ';
            if (line.startsWith(prefix)) {
                m_events.remove(0, index + 1);
                return line.sliced(prefix.size()).trimmed();
            }
        }
        return std::nullopt;
    }
    void forgetEvents()
    {
        read();
        m_events.clear();
    }

    // Sends a command and returns its answer, null when none came within 10 seconds. Our
    // event loop runs meanwhile, since the tray's calls come back to our own item.
    QJsonValue ask(const QString &command)
    {
        m_process.write(command.toUtf8() + '\n');
        QDeadlineTimer deadline(10s);
        while (read(), m_answers.isEmpty()) {
            if (deadline.hasExpired() || !waitForLine(deadline))
                return {};
        }
        return m_answers.takeFirst();
    }

private:
    void read()
    {
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine().trimmed();
            // Answers are JSON; events are words.
            const QJsonDocument answer = QJsonDocument::fromJson("[" + line + "]");
            if (answer.isArray() && !line.isEmpty() && QByteArrayView("[{tf\"").contains(line[0]))
                m_answers.append(answer.array().at(0));
            else
                m_events.append(QString::fromUtf8(line));
        }
    }

    bool waitForLine(QDeadlineTimer deadline = QDeadlineTimer(10s))
    {
        if (m_process.state() == QProcess::NotRunning)
            return false;
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &loop, &QEventLoop::quit);
        QObject::connect(&m_process, &QProcess::finished, &loop, &QEventLoop::quit);
        timer.start(std::max<qint64>(0, deadline.remainingTime()));
        loop.exec();
        return m_process.state() != QProcess::NotRunning || m_process.bytesAvailable() > 0;
    }

    QProcess m_process;
    QStringList m_events;
    QList<QJsonValue> m_answers;
};

// The labels of a menu's entries as the tray has them, "-" for a separator.
QStringList labels(const QJsonValue &layout)
{
    QStringList labels;
    for (const QJsonValue entry : layout.toArray()) {
        const QJsonObject object = entry.toObject();
        labels.append(object.value("type") == "separator" ? QStringLiteral("-")
                                                          : object.value("label").toString());
    }
    return labels;
}

// An IconPixmap entry, [width, height, ARGB32 in network byte order], as an image.
QImage decodePixmap(const QJsonValue &pixmap)
{
    const QJsonArray fields = pixmap.toArray();
    const int width = fields.at(0).toInt();
    const int height = fields.at(1).toInt();
    const QByteArray bytes = QByteArray::fromBase64(fields.at(2).toString().toLatin1());
    if (width <= 0 || height <= 0 || bytes.size() != qsizetype(width) * height * 4)
        return {};
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = qFromBigEndian<quint32>(bytes.constData() + (qsizetype(y) * width + x) * 4);
    }
    return image;
}

} // namespace

class TestSni : public QObject
{
    Q_OBJECT

    StandInTray m_tray;
    SpeedServerProcess m_server;
    std::unique_ptr<SpeedTestEngine> m_engine;
    // Counters that grow by 1.5 MB for each second of a clock that moves a second per sample.
    quint64 m_received = 0;
    LiveThroughputMonitor::Clock::time_point m_clock;
    LiveThroughputMonitor m_live{
        [this] {
            m_received += 1'500'000;
            return QList<InterfaceCounters::Interface>{{"eth0", m_received, 0}};
        },
        [this] { return m_clock += 1s; }, 10ms};
    QTemporaryDir m_cache;
    std::unique_ptr<AppDelegate> m_app;
    // The bus name the item registered with.
    QString m_item;

    static PreferencesStore &store() { return PreferencesStore::shared(); }

    // Launches in tray mode and waits until the item has registered with the tray.
    void launch()
    {
        AppSetup setup;
        setup.engine = m_engine.get();
        setup.live = &m_live;
        setup.serviceOrigin = "http://127.0.0.1:9";
        setup.updater.feedUrl = "http://127.0.0.1:9/feed.json";
        setup.updater.cacheFolder = m_cache.path();
        m_app = std::make_unique<AppDelegate>(std::move(setup));
        m_app->applicationDidFinishLaunching();
        waitForRegistration();
    }

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
    QJsonObject layoutEntry(int index) { return ask("layout").toArray().at(index).toObject(); }
    QString firstEntry() { return layoutEntry(0).value("label").toString(); }
    // Chooses the menu's first entry, as the tray does when the user clicks it.
    void chooseFirstEntry()
    {
        QCOMPARE(ask("click", QString::number(layoutEntry(0).value("id").toInt())), true);
    }

    static QStringList menuLabels()
    {
        return {"Lancer le test",
                "Ouvrir Tachora…",
                "-",
                BuildConfig::updaterEnabled ? "Rechercher des mises à jour…"
                                            : "Mises à jour par le gestionnaire de paquets",
                "Signaler un problème…",
                "-",
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
        SpeedTestConfig config;
        config.host = m_server.origin();
        config.downloadBudget = config.uploadBudget = 0.6;
        config.downloadSteps = {200000, 1000000};
        config.pingTimeout = config.downloadTimeout = config.uploadTimeout = 3s;
        m_engine = std::make_unique<SpeedTestEngine>(config);
    }

    void init()
    {
        store().setBool(PreferenceKeys::onboarded, true);
        store().setBool(PreferenceKeys::menuBarMode, true);
        SpeedSettings::setLiveMenuBar(false);
        m_tray.forgetEvents();
    }

    void cleanup()
    {
        m_app.reset();
        QVERIFY(m_item.isEmpty() || m_tray.waitForEvent("unregistered " + m_item));
        m_item.clear();
        QTRY_COMPARE(ServiceClient::shared().requestsRunning(), 0);
    }

    void menu()
    {
        launch();
        const QJsonObject item = ask("item").toObject();
        QCOMPARE(item.value("Status"), "Active");
        QVERIFY(!item.value("Menu").toString().isEmpty());
        QCOMPARE(labels(ask("layout")), menuLabels());
    }

    void firstEntryFollowsEngine_data() { TestSupport::addBoolRows("cancel", "ends", "cancelled"); }
    void firstEntryFollowsEngine()
    {
        QFETCH(bool, cancel);
        launch();
        QCOMPARE(firstEntry(), "Lancer le test");

        chooseFirstEntry();
        QTRY_VERIFY(m_engine->isRunning());
        // A panel shows the menu it was last told of: it must hear of the new one.
        QVERIFY(m_tray.waitForEvent("LayoutUpdated"));
        QCOMPARE(firstEntry(), "Arrêter le test");
        QCOMPARE(labels(ask("layout")).mid(1), menuLabels().mid(1));
        // The item's signals come before its answers: none of this change is left over.
        m_tray.forgetEvents();

        if (cancel)
            chooseFirstEntry();
        QTRY_VERIFY_WITH_TIMEOUT(!m_engine->isRunning(), 10000);
        QVERIFY(m_tray.waitForEvent("LayoutUpdated"));
        QCOMPARE(firstEntry(), "Lancer le test");
    }

    void iconPixmaps_data() { TestSupport::addBoolRows("live", "glyph", "live text"); }
    void iconPixmaps()
    {
        QFETCH(bool, live);
        SpeedSettings::setLiveMenuBar(live);
        launch();
        const std::optional<QString> text =
            live ? std::optional<QString>(u'↓' + LiveThroughputMonitor::compact(1.5e6))
                 : std::nullopt;
        if (live) {
            QVERIFY(m_tray.waitForEvent("NewIcon"));
            QTRY_COMPARE(m_app->statusController().liveText(), text);
        }
        // Tool tip: [icon name, pixmaps, title, text].
        const QJsonObject item = ask("item").toObject();
        QCOMPARE(item.value("ToolTip").toArray().at(2).toString(), text.value_or("Tachora"));

        QList<int> sizes;
        for (const QJsonValue pixmap : item.value("IconPixmap").toArray()) {
            const QImage image = decodePixmap(pixmap);
            QCOMPARE(image.width(), image.height());
            sizes.append(image.width());
            const QImage expected =
                StatusItemIcon::render(text, QGuiApplication::palette(), image.width())
                    .convertToFormat(QImage::Format_ARGB32);
            QVERIFY2(image == expected, qPrintable(QString::number(image.width())));
        }
        QCOMPARE(sizes,
                 QList<int>(std::begin(StatusItemIcon::sizes), std::end(StatusItemIcon::sizes)));
    }

    void activateAsLeftClick()
    {
        launch();
        QSystemTrayIcon *icon = m_app->statusController().trayIcon();
        QMenu *menu = icon->contextMenu();
        QWidget *window = m_app->mainWindow();
        const auto shown = [&] { return QList<bool>{menu->isVisible(), window->isVisible()}; };
        QCOMPARE(shown(), QList<bool>({false, false}));
        emit icon->activated(QSystemTrayIcon::Trigger);
        const QList<bool> leftClick = shown();
        QVERIFY(leftClick.contains(true));
        menu->hide(), window->hide();

        QCOMPARE(ask("activate"), true);
        QTRY_COMPARE(shown(), leftClick);
    }

    void goesAwayWithTrayMode()
    {
        launch();
        auto *box = m_app->mainWindow()->findChild<QCheckBox *>("menuBarCheckbox");
        QVERIFY(box && box->isChecked());
        box->click();
        QVERIFY(m_tray.waitForEvent("unregistered " + m_item));
        QVERIFY(ask("item").toObject().contains("error"));

        box->click();
        waitForRegistration();
        QCOMPARE(labels(ask("layout")), menuLabels());
    }

    // The program itself, as a desktop session starts it.
    void application()
    {
        QProcess app;
        app.setProcessChannelMode(QProcess::ForwardedChannels);
        app.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        app.start(TACHORA_PATH, {"--server", m_server.origin(), "--service", "http://127.0.0.1:9"});
        waitForRegistration();
        QCOMPARE(labels(ask("layout")), menuLabels());

        const auto requests = [this] { return SpeedServerProcess::count(m_server.requests(), {}); };
        const int before = requests();
        chooseFirstEntry();
        QTRY_COMPARE(firstEntry(), "Arrêter le test");
        QTRY_VERIFY(requests() > before);
        chooseFirstEntry();
        QTRY_COMPARE(firstEntry(), "Lancer le test");

        const QJsonArray layout = ask("layout").toArray();
        QCOMPARE(ask("click", QString::number(layout.last().toObject().value("id").toInt())), true);
        QTRY_VERIFY_WITH_TIMEOUT(app.state() == QProcess::NotRunning, 10000);
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestSni)
#include "tst_sni.moc"
