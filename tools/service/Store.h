#pragma once

#include "Database.h"

#include <cstdint>
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

    // Opens the database and brings its schema up to date; null with `error` set when that
    // fails, or when the schema is newer than this program knows.
    static std::unique_ptr<Store> open(const std::string &where, std::string &error);

    bool addCrash(const Crash &crash, const std::string &address, std::int64_t now);
    bool addReport(const Report &report, const std::string &address, std::int64_t now);

    // The message that a sync of this device answers with (see the README's delivery
    // rule), counted as sent once more; id 0 when there is none. Nothing on failure.
    std::optional<Message> sync(const std::string &device, const std::string &version,
                                const std::string &os, int repeats, std::int64_t now);

    // Queues a message for one device, or for every device known now when `device` is
    // absent; its id, or nothing on failure.
    std::optional<std::int64_t> addMessage(const std::optional<std::string> &device,
                                           const std::string &text, std::int64_t now);
    std::optional<bool> knowsDevice(const std::string &device);

    // Newest first.
    std::optional<std::vector<Entry>> reports(std::int64_t limit);
    std::optional<std::vector<Entry>> crashes(std::int64_t limit);

    std::string error() const { return m_db->error(); }

private:
    explicit Store(std::unique_ptr<db::Connection> connection)
        : m_db(std::move(connection))
    {}
    bool migrate(std::string &error);
    std::optional<std::vector<Entry>> list(const char *sql, std::int64_t limit);

    std::unique_ptr<db::Connection> m_db;
};
