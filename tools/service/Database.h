// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// One connection to the service's database, SQLite or PostgreSQL, behind the few calls
// the store needs. Statements use $1, $2, ... for their parameters in both.
namespace db {

// NULL, an integer or a text.
using Value = std::variant<std::monostate, std::int64_t, std::string>;
// A result row, every column as text; NULL as nothing.
using Row = std::vector<std::optional<std::string>>;
using RowSink = std::function<void(Row &&)>;

class Connection
{
public:
    virtual ~Connection() = default;

    // Runs one statement; its rows, if any, are appended to `rows`. False when it failed
    // (error() says why).
    bool run(const std::string &sql, const std::vector<Value> &parameters = {},
             std::vector<Row> *rows = nullptr)
    {
        if (!rows)
            return execute(sql, parameters, {});
        return execute(sql, parameters, [rows](Row &&row) { rows->push_back(std::move(row)); });
    }
    // The same, handing each row on as it comes rather than holding them all.
    bool each(const std::string &sql, const std::vector<Value> &parameters, const RowSink &sink)
    {
        return execute(sql, parameters, sink);
    }

    // Starts a transaction. SQLite's takes the write lock at once, so that it never fails
    // half-way on a conflict with another writer; PostgreSQL's (read committed) locks rows
    // only as its statements reach them, and waits on another writer's rows.
    virtual bool begin() = 0;
    virtual bool commit() = 0;
    // Keeps error() as it was: the statement that failed says why, not the rollback.
    virtual void rollback() = 0;
    // Inside a transaction: waits until no other process changes the schema.
    virtual bool lockSchema() = 0;
    // Inside a transaction: keeps every other writer of the table out until it ends.
    virtual bool lockTable(const std::string &table) = 0;
    // Outside a transaction: gives the space of deleted rows back to the system, where the
    // engine does not do it on its own; only the log's when `logOnly`.
    virtual bool compact(bool logOnly = false) = 0;

    // The column definition of an auto-incremented key that is never reused.
    virtual const char *autoIdColumn() const = 0;
    virtual std::string error() const = 0;

private:
    virtual bool execute(const std::string &sql, const std::vector<Value> &parameters,
                         const RowSink &sink) = 0;
};

// True for a "postgresql://" or "postgres://" URL; anything else is a SQLite file path.
bool isPostgresUrl(const std::string &where);

// Opens a connection to a SQLite file (created when absent) or a PostgreSQL URL; null with
// `error` set when that fails. With PostgreSQL, connecting and each statement fail after
// `timeout` rather than wait on a server that does not answer.
std::unique_ptr<Connection> open(const std::string &where, std::string &error,
                                 std::chrono::seconds timeout = std::chrono::seconds(10));

std::unique_ptr<Connection> openSqlite(const std::string &path, std::string &error);
std::unique_ptr<Connection> openPostgres(const std::string &url, std::string &error,
                                         std::chrono::seconds timeout);

} // namespace db
