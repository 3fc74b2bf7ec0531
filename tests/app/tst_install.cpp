// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"

#include "PackageInstaller.h"

// Runs on a private session bus (dbus-run-session), where a stand-in takes PackageKit's name.
class TestInstall : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void install_data()
    {
        // How the stand-in ends transactions (empty: none runs); the result and its details.
        TestSupport::addColumns<QString, int, QString>("standIn", "result", "details");
        QTest::newRow("no PackageKit") << "" << int(PackageInstaller::Result::unavailable) << "";
        QTest::newRow("installed") << "success" << int(PackageInstaller::Result::installed) << "";
        QTest::newRow("refused") << "failure" << int(PackageInstaller::Result::failed)
                                 << "Paquet en conflit";
    }

    void install()
    {
        const auto [standIn, result, details] =
            TestSupport::fetch<QString, int, QString>("standIn", "result", "details");
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
        const QString record = m_dir.filePath(QTest::currentDataTag());
        QProcess service;
        if (!standIn.isEmpty()) {
            TestSupport::startChild(service, "/usr/bin/python3", {STANDIN_PATH, record, standIn});
            QVERIFY(service.waitForReadyRead(20000));
            QCOMPARE(service.readLine().trimmed(), "ready");
        }
        PackageInstaller installer(QDBusConnection::sessionBus());
        std::optional<std::pair<int, QString>> answer;
        installer.onFinished = [&](PackageInstaller::Result ended, const QString &why) {
            QVERIFY(!answer);
            answer = {int(ended), why};
        };
        const QString package = m_dir.filePath("tachora 1.3.0.deb");
        installer.install(package);
        QTRY_VERIFY(answer);
        QCOMPARE(answer->first, result);
        if (!standIn.isEmpty()) {
            QCOMPARE(answer->second, details);
            QCOMPARE(TestSupport::readFile(record), "CreateTransaction\nSetHints interactive=true\n"
                                                    "InstallFiles 0 "
                                                        + package.toUtf8() + "\n");
        }
        service.kill();
        service.waitForFinished();
    }
};

TACHORA_TEST_CORE_MAIN(TestInstall)
#include "tst_install.moc"
