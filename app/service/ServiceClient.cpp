// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/ServiceClient.h"

#include "platform/BuildConfig.h"
#include "platform/HttpSession.h"
#include "platform/PreferencesStore.h"
#include "platform/SystemInfo.h"
#include "settings/PreferenceKeys.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

using namespace std::chrono_literals;

namespace {

// The build's key, or nothing that any signature verifies against.
QByteArray buildPublicKey()
{
    const auto decoded = QByteArray::fromBase64Encoding(BuildConfig::servicePublicKey,
                                                        QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? *decoded : QByteArray();
}

double systemClock()
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000;
}

} // namespace

ServiceClient::ServiceClient(Config config, QObject *parent)
    : QObject(parent)
    , m_publicKey(config.publicKey ? *config.publicKey : buildPublicKey())
    , m_store(config.store ? *config.store : PreferencesStore::shared())
    , m_clock(config.clock ? std::move(config.clock) : &systemClock)
    , m_syncDeadline(config.syncDeadline)
    , m_reportDeadline(config.reportDeadline)
    , m_session(new HttpSession({}, this))
{
    setOrigin(config.origin);
}

ServiceClient::~ServiceClient() = default;

ServiceClient &ServiceClient::shared()
{
    static ServiceClient *const client = new ServiceClient({}, QCoreApplication::instance());
    return *client;
}

void ServiceClient::setOrigin(const QString &origin)
{
    m_origin = origin;
}

QString ServiceClient::deviceId()
{
    // An empty identifier would have every upload refused: it is replaced like a missing one.
    if (const auto stored = m_store.string(PreferenceKeys::deviceId); stored && !stored->isEmpty())
        return *stored;
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    m_store.setString(PreferenceKeys::deviceId, id);
    return id;
}

QString ServiceClient::osString()
{
    return SystemInfo::osText();
}

QCoro::Task<ReportAnswer> ServiceClient::reportProblem(QString text, std::optional<QString> email)
{
    QJsonObject body{{QStringLiteral("d"), deviceId()},
                     {QStringLiteral("v"), SystemInfo::versionText()},
                     {QStringLiteral("os"), osString()},
                     {QStringLiteral("text"), text}};
    if (email && !email->isEmpty())
        body.insert(QStringLiteral("email"), *email);
    const HttpResponse response = co_await post("/api/report.php", body, m_reportDeadline);
    const long status = response.outcome.status;
    if (!response.outcome.ok)
        co_return ReportAnswer{ReportOutcome::failed, status};
    // Any other answer in 4xx judges the report itself: sending it again changes nothing.
    if (status >= 400 && status < 500 && status != 408 && status != 429)
        co_return ReportAnswer{ReportOutcome::refused, status};
    const QJsonDocument answer = QJsonDocument::fromJson(response.body);
    co_return ReportAnswer{status == 200 && answer.isObject()
                                   && answer.object().value(QStringLiteral("ok"))
                                          == QJsonValue(true)
                               ? ReportOutcome::sent
                               : ReportOutcome::failed,
                           status};
}

QCoro::Task<> ServiceClient::checkWithServer()
{
    const QString nonce = QUuid::createUuid().toString(QUuid::Id128).toUpper();
    const QJsonObject body{{QStringLiteral("n"), nonce},
                           {QStringLiteral("d"), deviceId()},
                           {QStringLiteral("v"), SystemInfo::versionText()},
                           {QStringLiteral("os"), osString()},
                           {QStringLiteral("c"), QStringLiteral("direct")}};
    // Whatever the status: an answer is taken on its signature alone.
    const HttpResponse response = co_await post("/api/check.php", body, m_syncDeadline);
    if (!response.outcome.ok)
        co_return;
    const std::optional<SyncAnswer::Message> message =
        SyncAnswer::decode(response.body, nonce, m_publicKey, m_clock());
    if (!message || message->id < 1 || message->text.isEmpty()
        || shownMessages().contains(message->id))
        co_return;
    m_pendingMessage = message;
}

void ServiceClient::markMessageShown()
{
    if (!m_pendingMessage)
        return;
    QList<qint64> shown = shownMessages();
    shown.append(m_pendingMessage->id);
    if (shown.size() > shownMessagesKept)
        shown.remove(0, shown.size() - shownMessagesKept);
    m_store.setIntegerList(PreferenceKeys::shownMessages, shown);
    m_pendingMessage.reset();
}

int ServiceClient::requestsRunning() const
{
    return m_session->runningTransfers();
}

QList<qint64> ServiceClient::shownMessages() const
{
    // Anything but a list of integers counts as nothing shown yet.
    return m_store.integerList(PreferenceKeys::shownMessages).value_or(QList<qint64>());
}

QCoro::Task<HttpResponse> ServiceClient::post(const char *path, QJsonObject body,
                                              std::chrono::milliseconds deadline)
{
    HttpRequest request;
    request.method = QByteArrayLiteral("POST");
    request.url = SystemInfo::serviceUrl(m_origin, QLatin1String(path));
    request.timeout = deadline;
    request.deadline = deadline;
    request.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    co_return co_await m_session->fetch(std::move(request), SyncAnswer::maxBytes);
}
