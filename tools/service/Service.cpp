// SPDX-License-Identifier: GPL-3.0-or-later
#include "Service.h"

#include "platform/ServiceLimits.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <ctime>
#include <iostream>

namespace {

struct Field
{
    const char *name;
    qsizetype maxLength; // in UTF-16 units, as the application counts
    bool required = true;
    bool nonBlank = false;
};

// The members' texts in the order asked (an absent optional member as nothing), or
// nothing with `problem` saying which member is wrong and how.
std::optional<std::vector<std::optional<std::string>>>
read(const QJsonObject &object, std::initializer_list<Field> fields, std::string &problem)
{
    std::vector<std::optional<std::string>> values;
    for (const Field &field : fields) {
        const QJsonValue value = object.value(QLatin1String(field.name));
        const std::string name = std::string("member \"") + field.name + "\" ";
        if (value.isUndefined() && !field.required) {
            values.emplace_back();
            continue;
        }
        if (!value.isString()) {
            problem = name + "is missing or not a string";
            return std::nullopt;
        }
        const QString text = value.toString();
        if (text.size() > field.maxLength)
            problem = name + "is longer than " + std::to_string(field.maxLength) + " characters";
        else if (field.nonBlank && text.trimmed().isEmpty())
            problem = name + "is empty";
        // PostgreSQL cannot store it, and no client has a reason to send it.
        else if (text.contains(QChar(0)))
            problem = name + "holds a NUL character";
        if (!problem.empty())
            return std::nullopt;
        values.emplace_back(text.toStdString());
    }
    return values;
}

// The nonce goes first into the signed text: no line feed must hide in it, or a client
// could have us sign a different answer than the one we meant.
bool isNonce(const std::string &text)
{
    return !text.empty() && text.size() <= std::size_t(ServiceLimits::nonceLength)
           && std::all_of(text.begin(), text.end(), [](char c) {
                  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')
                         || c == '-';
              });
}

HttpResponse ok()
{
    return {200, R"({"ok":true})", {}};
}

// A /48 holds 65,536 /64s: one client with a whole /48 gets this many times one address's
// share, no more.
constexpr double networkShare = 8;

} // namespace

Service::Service(Settings settings, const Signer &signer)
    : m_settings(std::move(settings))
    , m_signer(signer)
    , m_perDevice(m_settings.devicePerMinute)
    , m_perAddress(m_settings.addressPerMinute)
    , m_perNetwork(m_settings.addressPerMinute * networkShare)
    , m_unknownDevices(m_settings.unknownDevicePerMinute)
    , m_stores(std::size_t(m_settings.workers))
    , m_failures(std::cerr)
{}

bool Service::admit(const std::string &address)
{
    const std::string network = RateLimiter::networkKey(address);
    return m_perAddress.allow(RateLimiter::addressKey(address))
           && (network.empty() || m_perNetwork.allow(network));
}

std::string Service::signedText(const std::string &nonce, std::int64_t time, std::int64_t messageId,
                                const std::string &message)
{
    return nonce + "\n" + std::to_string(time) + "\n" + std::to_string(messageId) + "\n" + message;
}

Store *Service::store(int worker)
{
    auto &store = m_stores[std::size_t(worker)];
    if (!store) {
        std::string error;
        store = Store::open(m_settings.database, error, m_settings.databaseTimeout);
        if (!store)
            m_failures.add(error);
    }
    return store.get();
}

HttpResponse Service::handle(const HttpRequest &request, int worker)
{
    const bool crash = request.path == "/api/crash.php";
    const bool report = request.path == "/api/report.php";
    const bool check = request.path == "/api/check.php";
    if (!crash && !report && !check)
        return HttpServer::error(404, "no such endpoint");
    if (request.method != "POST") {
        HttpResponse refused = HttpServer::error(405, "use POST");
        refused.headers.emplace_back("Allow", "POST");
        return refused;
    }
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(request.body.data(), qsizetype(request.body.size())));
    if (!document.isObject())
        return HttpServer::error(400, "the body is not a JSON object");
    const QJsonObject object = document.object();

    std::string problem;
    std::optional<std::vector<std::optional<std::string>>> fields;
    using namespace ServiceLimits;
    if (crash)
        fields = read(object,
                      {{"d", deviceIdLength, true, true},
                       {"kind", crashKindLength, true, true},
                       {"message", crashMessageLength},
                       {"stack", crashStackLength},
                       {"v", versionLength},
                       {"os", osLength}},
                      problem);
    else if (report)
        fields = read(object,
                      {{"d", deviceIdLength, true, true},
                       {"v", versionLength},
                       {"os", osLength},
                       {"text", reportTextLength, true, true},
                       {"email", reportEmailLength, false}},
                      problem);
    else
        fields = read(object,
                      {{"n", nonceLength, true, true},
                       {"d", deviceIdLength, true, true},
                       {"v", versionLength},
                       {"os", osLength},
                       {"c", channelLength}},
                      problem);
    if (!fields)
        return HttpServer::error(400, problem);
    const std::vector<std::optional<std::string>> &value = *fields;
    if (check && !isNonce(*value[0]))
        return HttpServer::error(400, "member \"n\" must be 1 to 64 letters, digits or hyphens");

    // A crash record of an installation without an id yet says "?": those are counted by
    // address instead.
    const std::string &device = check ? *value[1] : *value[0];
    const Store::Sender sender{request.address, RateLimiter::addressKey(request.address),
                               RateLimiter::networkKey(request.address)};
    if (device == "?" ? !m_unknownDevices.allow(sender.addressKey) : !m_perDevice.allow(device))
        return HttpServer::error(429, "too many requests from this device, try later");

    Store *database = store(worker);
    const std::int64_t now = std::time(nullptr);
    const auto answer = [&](Store::Outcome outcome) {
        switch (outcome) {
        case Store::Outcome::stored:
            return ok();
        case Store::Outcome::addressOverBudget:
            return HttpServer::error(429, "this address has stored enough today, try tomorrow");
        case Store::Outcome::overBudget:
            return HttpServer::error(507, "storage full, try later");
        case Store::Outcome::failed:
            break;
        }
        m_failures.add(database ? database->error() : "no database");
        return HttpServer::error(503, "storage unavailable, try later");
    };
    if (!database)
        return answer(Store::Outcome::failed);
    if (crash)
        return answer(
            database->addCrash({*value[0], *value[1], *value[2], *value[3], *value[4], *value[5]},
                               sender, m_settings.budget, now));
    if (report)
        return answer(database->addReport({*value[0], *value[1], *value[2], *value[3], value[4]},
                                          sender, m_settings.budget, now));
    Store::Outcome outcome = Store::Outcome::failed;
    const auto message = database->sync(device, *value[2], *value[3], m_settings.repeats, sender,
                                        m_settings.budget, now, outcome);
    if (!message)
        return answer(outcome);
    const std::string &nonce = *value[0];
    // Signed as the client will see it once decoded, even if the stored bytes were not
    // clean UTF-8.
    const QString text = QString::fromStdString(message->text);
    const std::string signature =
        m_signer.sign(signedText(nonce, now, message->id, text.toStdString()));
    const QJsonObject signedAnswer{{"n", QString::fromStdString(nonce)},
                                   {"ts", qint64(now)},
                                   {"mid", qint64(message->id)},
                                   {"msg", text},
                                   {"sig", QString::fromStdString(signature)}};
    return {200, QJsonDocument(signedAnswer).toJson(QJsonDocument::Compact).toStdString(), {}};
}
