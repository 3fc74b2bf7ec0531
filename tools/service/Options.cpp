// SPDX-License-Identifier: GPL-3.0-or-later
#include "Options.h"

#include <charconv>
#include <map>
#include <set>

namespace {

template <typename Number>
bool parseNumber(const std::string &text, Number &value, Number minimum)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= minimum;
}

// "HOST:PORT" or "[IPv6]:PORT".
bool parseListen(const std::string &text, std::string &host, int &port)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return parseNumber(text.substr(colon + 1), port, 0) && port <= 65535;
}

} // namespace

const char *usage()
{
    return R"(Usage: tachora-service COMMAND [options]
The maker's service of Tachora: stores crash records and problem reports, and answers
each sync with the device's next message, signed.

  keygen --key FILE         make the signing key (FILE must not exist; mode 0600) and
                            print the public key for TACHORA_SERVICE_PUBLIC_KEY
  serve --key FILE          answer the application
      --listen HOST:PORT    where to listen (default 127.0.0.1:8080; port 0 picks a free
                            one). The first output line is "port N".
      --threads N           workers that run requests (default 8)
      --timeout S           a connection that brings no whole request in S seconds, or
                            does not take its answer in S seconds, is closed (default 10)
      --limit-address N     requests per minute from one address (default 300; 0: none)
      --limit-device N      requests per minute from one device (default 12; 0: none)
      --repeats N           syncs that carry each message of a device (default 3)
      --max-connections N   open connections at most (default 10000)
      --max-address-connections N
                            open connections from one address (IPv6: one /64) at most
                            (default 32; 0: none); not counted with --proxy
      --max-network-connections N
                            open connections from one IPv6 /48 at most (default 256;
                            0: none); not counted with --proxy
      --max-unfinished-bytes N
                            bytes that requests still being read may hold together
                            (default 67108864); past them a request is refused with 503.
                            One address (IPv6: one /64) may hold a 64th of them, one
                            IPv6 /48 a 16th, each at least one whole request.
      --queue-timeout S     a request that waits S seconds for a worker is answered 503
                            (default 5)
      --db-timeout S        a database statement or connection that takes longer than S
                            seconds fails, and its request is answered 503 (default 10)
      --storage-budget N    bytes of crash records and reports stored at most (default
                            10737418240); past them, 507
      --address-budget N    bytes that one address (IPv6: one /64) may store a day
                            (default 4194304); past them, 429
      --network-budget N    bytes that one IPv6 /48 may store a day (default 4 times the
                            address budget); past them, 429
      --limit-unknown N     crash records per minute from one address without a device
                            id ("?") (default 4; 0: none)
      --proxy               behind a reverse proxy: the client's address is X-Real-IP
  reports [--limit N] [--before ID] [--device ID]
                            the newest problem reports (default 50), older than report
                            ID if asked, of one device if asked
  crashes [--limit N] [--before ID] [--device ID] [--stack]
                            the same for crash records, with their stacks if asked
  purge --older-than DAYS   delete crash records, reports, devices unseen and delivered
                            messages older than DAYS days, count the budgets again from
                            what is left and give the space back (SQLite)
  answer --device ID --text TEXT
                            queue a message for one device
  broadcast --text TEXT     queue a message for every device that has synced before

Every command takes --db DB: a SQLite file path or a postgresql:// URL (default: a SQLite
file in $XDG_DATA_HOME/tachora-service).
)";
}

std::optional<Options> parseOptions(const std::vector<std::string> &arguments, std::string &error,
                                    bool &wantsHelp)
{
    // The options each command takes; "db" for all of them.
    static const std::map<std::string, std::set<std::string>> allowed = {
        {"keygen", {"--key"}},
        {"serve",
         {"--key", "--listen", "--db", "--threads", "--timeout", "--limit-address",
          "--limit-device", "--repeats", "--max-connections", "--max-address-connections",
          "--max-network-connections", "--max-unfinished-bytes", "--queue-timeout", "--db-timeout",
          "--storage-budget", "--address-budget", "--network-budget", "--limit-unknown",
          "--proxy"}},
        {"reports", {"--db", "--limit", "--before", "--device"}},
        {"crashes", {"--db", "--limit", "--before", "--device", "--stack"}},
        {"purge", {"--db", "--older-than"}},
        {"answer", {"--db", "--device", "--text"}},
        {"broadcast", {"--db", "--text"}},
    };
    static const std::set<std::string> flags = {"--proxy", "--stack"};

    Options options;
    wantsHelp = arguments.empty() || arguments[0] == "--help" || arguments[0] == "-h";
    if (wantsHelp)
        return std::nullopt;
    options.command = arguments[0];
    const auto command = allowed.find(options.command);
    if (command == allowed.end()) {
        error = "unknown command " + options.command;
        return std::nullopt;
    }
    std::set<std::string> seen;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string &name = arguments[i];
        if (name == "--help" || name == "-h") {
            wantsHelp = true;
            return std::nullopt;
        }
        if (!command->second.contains(name)) {
            error = options.command + " takes no option " + name;
            return std::nullopt;
        }
        seen.insert(name);
        if (flags.contains(name)) {
            (name == "--proxy" ? options.proxy : options.stacks) = true;
            continue;
        }
        if (i + 1 >= arguments.size()) {
            error = name + " needs a value";
            return std::nullopt;
        }
        const std::string &value = arguments[++i];
        bool valid = true;
        if (name == "--key")
            options.keyFile = value;
        else if (name == "--db")
            options.database = value;
        else if (name == "--device")
            options.device = value;
        else if (name == "--text")
            options.text = value;
        else if (name == "--listen")
            valid = parseListen(value, options.host, options.port);
        else if (name == "--limit")
            valid = parseNumber(value, options.limit, 1LL);
        else if (name == "--threads")
            valid = parseNumber(value, options.threads, 1) && options.threads <= 256;
        else if (name == "--timeout")
            valid = parseNumber(value, options.timeoutSeconds, 1);
        else if (name == "--limit-address")
            valid = parseNumber(value, options.addressPerMinute, 0.0);
        else if (name == "--limit-device")
            valid = parseNumber(value, options.devicePerMinute, 0.0);
        else if (name == "--repeats")
            valid = parseNumber(value, options.repeats, 1);
        else if (name == "--max-connections")
            valid = parseNumber(value, options.maxConnections, 1);
        else if (name == "--max-address-connections")
            valid = parseNumber(value, options.maxAddressConnections, 0);
        else if (name == "--max-network-connections")
            valid = parseNumber(value, options.maxNetworkConnections, 0);
        else if (name == "--max-unfinished-bytes")
            valid = parseNumber(value, options.maxUnfinishedBytes, 1LL);
        else if (name == "--queue-timeout")
            valid = parseNumber(value, options.queueTimeoutSeconds, 1);
        else if (name == "--db-timeout")
            valid = parseNumber(value, options.databaseTimeoutSeconds, 1);
        else if (name == "--storage-budget")
            valid = parseNumber(value, options.storageBudget, 1LL);
        else if (name == "--address-budget")
            valid = parseNumber(value, options.addressBudget, 1LL);
        else if (name == "--network-budget")
            valid = parseNumber(value, options.networkBudget, 1LL);
        else if (name == "--limit-unknown")
            valid = parseNumber(value, options.unknownDevicePerMinute, 0.0);
        else if (name == "--before")
            valid = parseNumber(value, options.before, 1LL);
        else if (name == "--older-than")
            valid = parseNumber(value, options.olderThanDays, 0);
        if (!valid) {
            error = "bad value for " + name + ": " + value;
            return std::nullopt;
        }
    }
    // What each command cannot do without.
    static const std::map<std::string, std::vector<std::string>> needed = {
        {"keygen", {"--key"}},     {"serve", {"--key"}},        {"answer", {"--device", "--text"}},
        {"broadcast", {"--text"}}, {"purge", {"--older-than"}},
    };
    if (const auto found = needed.find(options.command); found != needed.end()) {
        for (const std::string &name : found->second) {
            if (!seen.contains(name)) {
                error = options.command + " needs " + name;
                return std::nullopt;
            }
        }
    }
    return options;
}
