// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppFixture.h"

// Runs on a private bus that also stands for the system bus, where a stand-in takes
// NetworkManager's name: whether the connection is metered comes through Qt's network
// information and its NetworkManager backend, as on a user's system.
class TestMetered : public QObject
{
    Q_OBJECT

    QProcess m_networkManager;

    // A stand-in NetworkManager whose connection has this metered state (NMMetered).
    void startNetworkManager(const QString &metered)
    {
        TestSupport::startChild(m_networkManager, "/usr/bin/python3", {STANDIN_PATH, metered});
        QVERIFY(m_networkManager.waitForReadyRead(20000));
        QCOMPARE(m_networkManager.readLine().trimmed(), "ready");
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::systemBus().isConnected(), "run on a private system bus");
    }

    void cleanup()
    {
        m_networkManager.kill();
        m_networkManager.waitForFinished();
    }

    void commandLineWarns_data()
    {
        // NetworkManager's metered state, none without NetworkManager.
        TestSupport::addColumns<QString, bool>("metered", "warns");
        QTest::newRow("no NetworkManager") << "" << false;
        QTest::newRow("metered") << "1" << true;
        QTest::newRow("guessed not metered") << "4" << false;
    }

    // On a metered connection the command line says so on standard error and goes on.
    void commandLineWarns()
    {
        const auto [metered, warns] = TestSupport::fetch<QString, bool>("metered", "warns");
        if (!metered.isEmpty())
            startNetworkManager(metered);
        const TestSupport::ProcessRun run =
            TestSupport::run(CLI_PATH, {"--server", TestSupport::closedOrigin});
        QVERIFY2(run.err.contains("Test impossible"), run.err.constData());
        QCOMPARE(run.err.contains("facturée à l’usage"), warns);
    }

    // The window asks before the session's first test.
    void windowAsks()
    {
        startNetworkManager("1");
        AppFixture fixture;
        AppSetup setup = fixture.setup();
        setup.meteredConnection = nullptr;
        fixture.launch(std::move(setup)).testPressed(nullptr);
        QVERIFY(AppFixture::shown("meteredAlert") && !fixture.engine->isRunning());
        QVERIFY(fixture.quit());
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestMetered)
#include "tst_metered.moc"
