// SPDX-License-Identifier: GPL-3.0-or-later
#include "PackageInstaller.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>

namespace {

const QString packageKit = QStringLiteral("org.freedesktop.PackageKit");
const QString transactionInterface = QStringLiteral("org.freedesktop.PackageKit.Transaction");
// PackageKit's exit code of a transaction that did what it was asked.
constexpr uint exitSuccess = 1;

} // namespace

PackageInstaller::PackageInstaller(std::optional<QDBusConnection> bus, QObject *parent)
    : QObject(parent)
    , m_bus(std::move(bus))
{}

void PackageInstaller::install(const QString &path)
{
    m_details.clear();
    if (!m_bus)
        m_bus = QDBusConnection::systemBus();
    if (!m_bus->isConnected()) {
        QTimer::singleShot(0, this, [this] { finish(Result::unavailable, {}); });
        return;
    }
    const QDBusMessage create =
        QDBusMessage::createMethodCall(packageKit, QStringLiteral("/org/freedesktop/PackageKit"),
                                       packageKit, QStringLiteral("CreateTransaction"));
    auto *created = new QDBusPendingCallWatcher(m_bus->asyncCall(create), this);
    connect(
        created, &QDBusPendingCallWatcher::finished, this,
        [this, path](QDBusPendingCallWatcher *call) {
            call->deleteLater();
            const QDBusPendingReply<QDBusObjectPath> reply = *call;
            if (reply.isError()) {
                const QDBusError::ErrorType type = reply.error().type();
                finish(type == QDBusError::ServiceUnknown ? Result::unavailable : Result::failed,
                       reply.error().message());
                return;
            }
            m_transaction = reply.value().path();
            m_bus->connect(packageKit, m_transaction, transactionInterface,
                           QStringLiteral("ErrorCode"), this,
                           SLOT(transactionError(uint, QString)));
            m_bus->connect(packageKit, m_transaction, transactionInterface,
                           QStringLiteral("Finished"), this, SLOT(transactionFinished(uint, uint)));
            // The user asked for it: PackageKit may ask for a password.
            QDBusMessage hints = QDBusMessage::createMethodCall(
                packageKit, m_transaction, transactionInterface, QStringLiteral("SetHints"));
            hints << QStringList{QStringLiteral("interactive=true")};
            m_bus->send(hints);
            // Not "only trusted": the package is no repository's, and its signature has
            // been checked against our own keys.
            QDBusMessage files = QDBusMessage::createMethodCall(
                packageKit, m_transaction, transactionInterface, QStringLiteral("InstallFiles"));
            files << quint64(0) << QStringList{path};
            auto *asked = new QDBusPendingCallWatcher(m_bus->asyncCall(files), this);
            connect(asked, &QDBusPendingCallWatcher::finished, this,
                    [this](QDBusPendingCallWatcher *answer) {
                        answer->deleteLater();
                        if (answer->isError())
                            finish(Result::failed, answer->error().message());
                    });
        });
}

void PackageInstaller::transactionError(uint, const QString &details)
{
    m_details = details;
}

void PackageInstaller::transactionFinished(uint exit, uint)
{
    finish(exit == exitSuccess ? Result::installed : Result::failed, m_details);
}

void PackageInstaller::finish(Result result, const QString &details)
{
    if (!m_transaction.isEmpty()) {
        m_bus->disconnect(packageKit, m_transaction, transactionInterface,
                          QStringLiteral("ErrorCode"), this, SLOT(transactionError(uint, QString)));
        m_bus->disconnect(packageKit, m_transaction, transactionInterface,
                          QStringLiteral("Finished"), this, SLOT(transactionFinished(uint, uint)));
        m_transaction.clear();
    }
    if (onFinished)
        onFinished(result, details);
}
