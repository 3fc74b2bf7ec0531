// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Database.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The service's data, with the same schema and statements on SQLite and PostgreSQL.
// Every change is one transaction: a failure leaves nothing half-written.
class Store
{
public:
    struct Crash
    {
        std::string device, kind, message, stack, version, os;
    };
    struct Report
    {
        std::string device, version, os, text;
        std::optional<std::string> email;
    };
    struct Message
    {
        std::int64_t id = 0; // 0: no message
        std::string text;
    };
    // A stored crash or report, for the maker's listing. `text` is the report's text or
    // the crash's message; `extra` the report's e-mail or the crash's kind.
    struct Entry
    {
        std::int64_t id = 0;
        std::int64_t received = 0;
        std::string device, version, os, text, extra, stack;
    };

    // What storing may take, in bytes: all the records together, and in one day (UTC) one
    // address (its rate-limit key, IPv6: a /64) and one IPv6 /48, which one client may hold
    // whole. A new device's row counts against them all.
    struct Budget
    {
        std::int64_t total = 10LL * 1024 * 1024 * 1024;
        std::int64_t perAddressDaily = 4LL * 1024 * 1024;
        std::int64_t perNetworkDaily = 16LL * 1024 * 1024;
    };
    // Who stores: the keys the budget counts by. `network` is empty for IPv4.
    struct Sender
    {
        std::string address, addressKey, network;
    };
    enum class Outcome { stored, failed, addressOverBudget, overBudget };
    struct Listing
    {
        std::int64_t limit = 50;
        std::int64_t before = 0; // 0: from the newest
        std::string device;      // empty: every device
    };
    struct Purged
    {
        std::int64_t crashes = 0, reports = 0, devices = 0;
        bool compacted = false; // the space given back; error() says why not
    };

    // Opens the database and brings its schema up to date; null with `error` set when that
    // fails, or when the schema is newer than this program knows.
    static std::unique_ptr<Store> open(const std::string &where, std::string &error,
                                       std::chrono::seconds timeout = std::chrono::seconds(10));

    // A record the same device sent in the last `repeatWindow` seconds, the same to the
    // byte, is not stored again: the application retries after an answer it lost. It is
    // answered as stored all the same.
    static constexpr std::int64_t repeatWindow = 7 * 86400;
    Outcome addCrash(const Crash &crash, const Sender &sender, const Budget &budget,
                     std::int64_t now);
    Outcome addReport(const Report &report, const Sender &sender, const Budget &budget,
                      std::int64_t now);

    // The message that a sync of this device answers with (see the README's delivery
    // rule), counted as sent once more; id 0 when there is none. `outcome` says why there
    // is nothing.
    std::optional<Message> sync(const std::string &device, const std::string &version,
                                const std::string &os, int repeats, const Sender &sender,
                                const Budget &budget, std::int64_t now, Outcome &outcome);

    // Queues a message for one device, or for every device known now when `device` is
    // absent; its id, or nothing on failure.
    std::optional<std::int64_t> addMessage(const std::optional<std::string> &device,
                                           const std::string &text, std::int64_t now);
    std::optional<bool> knowsDevice(const std::string &device);

    // Newest first, each handed on as it is read; false on failure.
    bool reports(const Listing &listing, const std::function<void(const Entry &)> &onEntry);
    bool crashes(const Listing &listing, const std::function<void(const Entry &)> &onEntry);

    // Deletes the crash records and reports received before `cutoff`, the devices last seen
    // before it with their messages and deliveries; counts the budget again from what is
    // left, and gives the space back where the engine does not.
    std::optional<Purged> purge(std::int64_t cutoff, std::int64_t now);

    std::string error() const { return m_db->error(); }

private:
    explicit Store(std::unique_ptr<db::Connection> connection)
        : m_db(std::move(connection))
    {}
    bool migrate(std::string &error);
    bool list(const char *columns, const char *table, const Listing &listing,
              const std::function<void(const Entry &)> &onEntry);
    // Inside a transaction: whether `bytes` more fit every budget, and if so counts them,
    // each in one statement that another process cannot come between.
    Outcome charge(std::int64_t bytes, const Sender &sender, const Budget &budget,
                   std::int64_t now);
    // `table` holds a row of the same device and hash from the last days already.
    std::optional<bool> repeated(const char *table, const std::string &device,
                                 const std::string &hash, const Sender &sender, std::int64_t now);
    Outcome insert(const char *table, const std::string &device, const std::string &hash,
                   const std::string &sql, const std::vector<db::Value> &values, std::int64_t bytes,
                   const Sender &sender, const Budget &budget, std::int64_t now);
    // Inside a transaction: the budget's rows again, from what is stored.
    bool recount(std::int64_t cutoff, std::int64_t now);

    std::unique_ptr<db::Connection> m_db;
};
