// SPDX-License-Identifier: GPL-3.0-or-later
#include "Commands.h"

#include "HttpServer.h"
#include "Service.h"
#include "Signer.h"
#include "Store.h"
#include "platform/ServiceLimits.h"

#include <QDir>
#include <QStandardPaths>
#include <QString>

#include <csignal>
#include <ctime>
#include <iostream>
#include <sys/resource.h>
#include <sys/stat.h>

namespace commands {

namespace {

int fail(const std::string &message)
{
    std::cerr << "tachora-service: " << message << std::endl;
    return 1;
}

std::string databaseLocation(const Options &options)
{
    if (!options.database.empty())
        return options.database;
    const QString folder =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/tachora-service";
    QDir().mkpath(folder);
    return (folder + "/service.db").toStdString();
}

std::unique_ptr<Store> openStore(const Options &options)
{
    std::string error;
    auto store = Store::open(databaseLocation(options), error,
                             std::chrono::seconds(options.databaseTimeoutSeconds));
    if (!store)
        fail(error);
    return store;
}

// Whether a character could change how the maker's terminal shows the text around it, or
// show as nothing or as a space: controls, format characters (bidi overrides and isolates,
// zero-width ones, tags), line and paragraph separators, the unassigned, spaces other than
// U+0020, and the few letters, marks and symbols that are drawn blank.
bool hidden(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Other_NotAssigned:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    case QChar::Separator_Space:
        return c != U' ';
    default:
        return c == 0x034F || c == 0x115F || c == 0x1160 || c == 0x17B4 || c == 0x17B5
               || (c >= 0x180B && c <= 0x180F) || c == 0x2800 || c == 0x3164 || c == 0xFFA0
               || (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xE0100 && c <= 0xE01EF);
    }
}

// Clients' texts are shown on the maker's terminal: each hidden character shows as
// \u{XXXX} (a backslash as \\), and so does each space of a run of four or more, so that
// no text can pass for another, nor a field for the next entry, even folded to the
// terminal's width. Only a text of several lines keeps its line feeds and tabs.
std::string printable(const std::string &text, bool lines = false)
{
    const QList<uint> characters = QString::fromStdString(text).toUcs4();
    QString shown;
    qsizetype spaces = 0; // the length of the run of spaces this character is in
    for (qsizetype i = 0; i < characters.size(); ++i) {
        const char32_t c = characters[i];
        if (c != U' ')
            spaces = 0;
        else if (spaces == 0)
            while (i + spaces < characters.size() && characters[i + spaces] == U' ')
                ++spaces;
        if (c == U'\\')
            shown += QStringLiteral("\\\\");
        else if ((hidden(c) && !(lines && (c == U'\n' || c == U'\t'))) || spaces >= 4)
            shown += QStringLiteral("\\u{") + QString::number(uint(c), 16).toUpper() + u'}';
        else
            shown += QString::fromUcs4(&c, 1);
    }
    return shown.toStdString();
}

std::string indented(const std::string &text)
{
    std::string lines = "    ";
    for (const char c : printable(text, true))
        lines += c == '\n' ? std::string("\n    ") : std::string(1, c);
    return lines;
}

std::string utcTime(std::int64_t seconds)
{
    const std::time_t time = seconds;
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

HttpServer *running = nullptr;

void stopRunning(int)
{
    if (running)
        running->stop();
}

// Every idle connection holds a descriptor: take all the system allows.
std::size_t raiseDescriptorLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
    return std::size_t(limit.rlim_cur);
}

} // namespace

int keygen(const Options &options)
{
    std::string error;
    const auto publicKey = Signer::generate(options.keyFile, error);
    if (!publicKey)
        return fail(error + " (an existing key is never replaced)");
    std::cout << *publicKey << std::endl;
    std::cerr << "Secret key written to " << options.keyFile
              << "; build the application with -DTACHORA_SERVICE_PUBLIC_KEY=" << *publicKey
              << std::endl;
    return 0;
}

int serve(const Options &options)
{
    std::string error;
    const auto signer = Signer::load(options.keyFile, error);
    if (!signer)
        return fail(error);
    struct stat status
    {};
    if (stat(options.keyFile.c_str(), &status) == 0 && (status.st_mode & 077))
        std::cerr << "tachora-service: warning: " << options.keyFile
                  << " is readable by others; chmod 600 it" << std::endl;
    const std::string database = databaseLocation(options);
    // Creates or migrates the schema now, so that a database out of reach or too new stops
    // us here rather than at the first request; the workers open their own connections.
    if (!openStore(options))
        return 1;

    const std::size_t descriptors = raiseDescriptorLimit();
    HttpLimits limits;
    limits.timeout = std::chrono::seconds(options.timeoutSeconds);
    limits.workers = options.threads;
    limits.maxConnections =
        std::min(std::size_t(options.maxConnections), descriptors > 128 ? descriptors - 64 : 64);
    limits.maxPerAddress = std::size_t(options.maxAddressConnections);
    limits.maxPerNetwork = std::size_t(options.maxNetworkConnections);
    limits.maxHeldBytes = std::size_t(options.maxUnfinishedBytes);
    // Shares of the pool, each room for one whole request at least.
    const std::size_t request = limits.maxHead + limits.maxBody;
    limits.maxHeldPerAddress = std::max(limits.maxHeldBytes / 64, request);
    limits.maxHeldPerNetwork = std::max(limits.maxHeldBytes / 16, request);
    limits.queueTimeout = std::chrono::seconds(options.queueTimeoutSeconds);
    limits.trustProxy = options.proxy;
    Service service(
        {database,
         options.threads,
         options.repeats,
         options.devicePerMinute,
         options.addressPerMinute,
         options.unknownDevicePerMinute,
         {options.storageBudget, options.addressBudget,
          options.networkBudget > 0 ? options.networkBudget : 4 * options.addressBudget},
         std::chrono::seconds(options.databaseTimeoutSeconds)},
        *signer);
    HttpServer server(
        limits,
        [&service](const HttpRequest &request, int worker) {
            return service.handle(request, worker);
        },
        [&service](const std::string &address) { return service.admit(address); });
    const int port = server.listen(options.host, options.port, error);
    if (port < 0)
        return fail(error);
    std::cout << "port " << port << std::endl;
    std::cerr << "tachora-service: listening on " << options.host << ":" << port << " with "
              << (db::isPostgresUrl(database) ? "PostgreSQL" : database) << ", public key "
              << signer->publicKey() << std::endl;

    running = &server;
    struct sigaction stop
    {};
    stop.sa_handler = stopRunning;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    server.run();
    running = nullptr;
    return 0;
}

int list(const Options &options)
{
    const auto store = openStore(options);
    if (!store)
        return 1;
    const bool reports = options.command == "reports";
    // Printed as read: a long listing never sits whole in memory.
    const auto print = [&](const Store::Entry &entry) {
        std::cout << (reports ? "report " : "crash ") << entry.id << ", " << utcTime(entry.received)
                  << "\n  device  " << printable(entry.device) << "\n  version "
                  << printable(entry.version) << ", " << printable(entry.os);
        if (reports && !entry.extra.empty())
            std::cout << "\n  email   " << printable(entry.extra);
        if (!reports)
            std::cout << "\n  kind    " << printable(entry.extra);
        std::cout << "\n" << indented(entry.text) << "\n";
        if (options.stacks)
            std::cout << "  stack:\n" << indented(entry.stack) << "\n";
        std::cout << "\n";
    };
    const Store::Listing listing{options.limit, options.before, options.device};
    if (!(reports ? store->reports(listing, print) : store->crashes(listing, print)))
        return fail(store->error());
    std::cout.flush();
    return 0;
}

int purge(const Options &options)
{
    const auto store = openStore(options);
    if (!store)
        return 1;
    const std::int64_t now = std::time(nullptr);
    const auto purged = store->purge(now - std::int64_t(options.olderThanDays) * 86400, now);
    if (!purged) {
        const std::string error = store->error();
        // Deleting writes too: the log of the transaction needs room on the disk. SQLite says
        // "database or disk is full", PostgreSQL "No space left on device".
        if (error.find("full") != std::string::npos
            || error.find("No space left") != std::string::npos)
            return fail("cannot purge, the disk is full (" + error
                        + "): free a few megabytes, or purge the oldest days first with a"
                          " larger --older-than, and run it again");
        return fail("cannot purge: " + error);
    }
    std::cout << "purged " << purged->crashes << " crash records, " << purged->reports
              << " reports and " << purged->devices << " devices older than "
              << options.olderThanDays << " days" << std::endl;
    if (!purged->compacted)
        std::cerr << "tachora-service: warning: the space freed is not given back to the disk"
                     " yet: "
                  << store->error() << std::endl;
    return 0;
}

int queue(const Options &options)
{
    const QString text = QString::fromStdString(options.text);
    // The application shows the text as it decodes it, and checks the signature over that.
    if (text.toStdString() != options.text)
        return fail("the text is not valid UTF-8");
    if (text.trimmed().isEmpty())
        return fail("the text is empty");
    if (text.size() > ServiceLimits::messageTextLength)
        return fail("the text is longer than " + std::to_string(ServiceLimits::messageTextLength)
                    + " characters");
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control && c != u'\n' && c != u'\t')
            return fail("the text holds control characters");
    }
    const bool broadcast = options.command == "broadcast";
    // The ids the service takes from clients are 1 to 64 characters long.
    if (!broadcast
        && (options.device.empty()
            || QString::fromStdString(options.device).size() > ServiceLimits::deviceIdLength))
        return fail("no device has the id \"" + printable(options.device) + "\"");
    const auto store = openStore(options);
    if (!store)
        return 1;
    if (!broadcast) {
        const auto known = store->knowsDevice(options.device);
        if (!known)
            return fail(store->error());
        if (!*known)
            std::cerr << "tachora-service: warning: device " << printable(options.device)
                      << " has never synced; it gets the message at its first sync" << std::endl;
    }
    const auto id = store->addMessage(broadcast ? std::nullopt : std::optional(options.device),
                                      options.text, std::time(nullptr));
    if (!id)
        return fail(store->error());
    std::cout << "message " << *id << " queued for "
              << (broadcast ? "every device that has synced"
                            : "device " + printable(options.device))
              << std::endl;
    return 0;
}

} // namespace commands
