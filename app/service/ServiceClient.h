// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/HttpRequest.h"
#include "service/SyncAnswer.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

class HttpSession;
class PreferencesStore;

// What a client is made with; empty fields stand for the production ones.
struct ServiceClientConfig
{
    // The maker's service, "https://host[:port]".
    QString origin;
    // The 32 bytes of the Ed25519 key that signs the service's messages.
    std::optional<QByteArray> publicKey;
    PreferencesStore *store = nullptr;
    // Seconds since 1970, with fractions.
    std::function<double()> clock;
    // How long a sync and a report may take, from the first connection to the answer's end.
    std::chrono::milliseconds syncDeadline{8000};
    std::chrono::milliseconds reportDeadline{10000};
};

// How the service answered a problem report.
enum class ReportOutcome {
    sent,
    // It will never take this report as it is: the text or the address is at fault.
    refused,
    // No answer, or one saying to try later.
    failed
};

// The outcome of a report and the HTTP status of the answer it came from (0 without one).
struct ReportAnswer
{
    ReportOutcome outcome = ReportOutcome::failed;
    long status = 0;
};

// The one object that talks to the maker's service: problem reports and the message sync,
// with the identity of this installation that both carry. Every failure is silent: a
// report answers false, a sync takes no message.
class ServiceClient : public QObject
{
    Q_OBJECT

public:
    using Config = ServiceClientConfig;

    explicit ServiceClient(Config config = {}, QObject *parent = nullptr);
    ~ServiceClient() override;

    // Made on first use with the production values, owned by the application object.
    static ServiceClient &shared();

    // Empty: the build's own service.
    void setOrigin(const QString &origin);
    QString origin() const { return m_origin; }

    // This installation's identifier, made and stored the first time it is asked for.
    QString deviceId();
    static QString osString();

    // Uploads one problem report; sent only when the service said it took it. An absent or
    // empty e-mail is left out.
    QCoro::Task<ReportAnswer> reportProblem(QString text, std::optional<QString> email);

    // Asks the service for a message; a new one, in an answer it signed for this very
    // request, becomes the pending message.
    QCoro::Task<> checkWithServer();
    const std::optional<SyncAnswer::Message> &pendingMessage() const { return m_pendingMessage; }
    // Records the pending message as shown, so that it is never taken again, and drops it.
    void markMessageShown();

    // Requests not answered yet. The application never waits for them; tests do, since
    // those still running when the process ends are dropped unfinished.
    int requestsRunning() const;

    // How many shown message ids are remembered.
    static constexpr int shownMessagesKept = 50;

private:
    QCoro::Task<HttpResponse> post(const char *path, QJsonObject body,
                                   std::chrono::milliseconds deadline);
    QList<qint64> shownMessages() const;

    QString m_origin;
    QByteArray m_publicKey;
    PreferencesStore &m_store;
    std::function<double()> m_clock;
    std::chrono::milliseconds m_syncDeadline;
    std::chrono::milliseconds m_reportDeadline;
    HttpSession *m_session;
    std::optional<SyncAnswer::Message> m_pendingMessage;
};
