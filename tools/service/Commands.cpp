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

std::unique_ptr<Store> openStore(const std::string &location)
{
    std::string error;
    auto store = Store::open(location, error);
    if (!store)
        fail(error);
    return store;
}

// Clients' texts are shown on the maker's terminal: no control character of theirs may
// reach it.
std::string printable(const std::string &text)
{
    QString shown = QString::fromStdString(text);
    for (QChar &c : shown) {
        if (c.category() == QChar::Other_Control && c != u'\n' && c != u'\t')
            c = u'?';
    }
    return shown.toStdString();
}

std::string indented(const std::string &text)
{
    std::string lines = "    ";
    for (const char c : printable(text))
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
    if (!openStore(database))
        return 1;

    const std::size_t descriptors = raiseDescriptorLimit();
    HttpLimits limits;
    limits.timeout = std::chrono::seconds(options.timeoutSeconds);
    limits.workers = options.threads;
    limits.maxConnections =
        std::min(std::size_t(options.maxConnections), descriptors > 128 ? descriptors - 64 : 64);
    limits.maxPerAddress = options.maxAddressConnections > 0
                               ? std::size_t(options.maxAddressConnections)
                               : limits.maxConnections;
    limits.trustProxy = options.proxy;
    Service service({database, options.threads, options.repeats, options.devicePerMinute,
                     options.addressPerMinute},
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
    const auto store = openStore(databaseLocation(options));
    if (!store)
        return 1;
    const bool reports = options.command == "reports";
    const auto entries = reports ? store->reports(options.limit) : store->crashes(options.limit);
    if (!entries)
        return fail(store->error());
    for (const Store::Entry &entry : *entries) {
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
    }
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
    const auto store = openStore(databaseLocation(options));
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
