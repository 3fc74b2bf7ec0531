// SPDX-License-Identifier: GPL-3.0-or-later
#include "Database.h"

#include <sqlite3.h>

#include <mutex>
#include <unordered_map>

namespace db {

namespace {

// Every write of this process takes this lock first: SQLite lets one writer in at a time
// anyway, and threads that wait here wake at once, where SQLite's busy handler would
// poll and sleep. Other processes (the maker's commands) still meet the busy time-out.
std::mutex &writeLock()
{
    static std::mutex lock;
    return lock;
}

class SqliteConnection final : public Connection
{
public:
    explicit SqliteConnection(sqlite3 *handle)
        : m_db(handle)
    {}
    ~SqliteConnection() override
    {
        for (auto &[sql, statement] : m_statements)
            sqlite3_finalize(statement);
        sqlite3_close(m_db);
    }

    bool execute(const std::string &sql, const std::vector<Value> &parameters,
                 const RowSink &sink) override
    {
        sqlite3_stmt *statement = prepared(sql);
        if (!statement)
            return false;
        for (std::size_t i = 0; i < parameters.size(); ++i) {
            const std::string name = "$" + std::to_string(i + 1);
            const int index = sqlite3_bind_parameter_index(statement, name.c_str());
            if (index == 0)
                continue;
            const Value &value = parameters[i];
            if (const auto *number = std::get_if<std::int64_t>(&value))
                sqlite3_bind_int64(statement, index, *number);
            else if (const auto *text = std::get_if<std::string>(&value))
                sqlite3_bind_text(statement, index, text->data(), int(text->size()),
                                  SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(statement, index);
        }
        int status;
        while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
            if (!sink)
                continue;
            Row row;
            for (int column = 0; column < sqlite3_column_count(statement); ++column) {
                if (sqlite3_column_type(statement, column) == SQLITE_NULL) {
                    row.emplace_back();
                } else {
                    const auto *text = sqlite3_column_text(statement, column);
                    row.emplace_back(std::string(reinterpret_cast<const char *>(text),
                                                 sqlite3_column_bytes(statement, column)));
                }
            }
            sink(std::move(row));
        }
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
        if (status != SQLITE_DONE) {
            m_error = sqlite3_errmsg(m_db);
            return false;
        }
        return true;
    }

    bool begin() override
    {
        m_writing = std::unique_lock(writeLock());
        if (run("BEGIN IMMEDIATE"))
            return true;
        m_writing = {};
        return false;
    }
    bool commit() override
    {
        const bool done = run("COMMIT");
        if (!done)
            rollback();
        m_writing = {};
        return done;
    }
    void rollback() override
    {
        // After a full disk or an I/O error SQLite has often rolled back on its own already.
        if (!sqlite3_get_autocommit(m_db)) {
            const std::string first = m_error;
            run("ROLLBACK");
            m_error = first;
        }
        m_writing = {};
    }
    // BEGIN IMMEDIATE already keeps every other writer out.
    bool lockSchema() override { return true; }
    bool lockTable(const std::string &) override { return true; }
    // The log goes back to nothing first, then the free pages of the file; each step
    // needs little new space, so that it works on a nearly full disk too, except the one
    // full VACUUM a file made before incremental vacuuming needs, which copies it.
    bool compact(bool logOnly) override
    {
        std::vector<Row> mode;
        if (!run("PRAGMA wal_checkpoint(TRUNCATE)"))
            return false;
        if (logOnly)
            return true;
        if (!run("PRAGMA auto_vacuum", {}, &mode))
            return false;
        // A file made before incremental vacuum was asked for needs one full VACUUM to take
        // it on.
        const bool incremental = !mode.empty() && mode[0][0] == "2";
        const bool done = incremental ? run("PRAGMA incremental_vacuum")
                                      : run("PRAGMA auto_vacuum = INCREMENTAL") && run("VACUUM");
        return done && run("PRAGMA wal_checkpoint(TRUNCATE)");
    }

    const char *autoIdColumn() const override { return "INTEGER PRIMARY KEY AUTOINCREMENT"; }
    std::string error() const override { return m_error; }

private:
    sqlite3_stmt *prepared(const std::string &sql)
    {
        if (const auto found = m_statements.find(sql); found != m_statements.end())
            return found->second;
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), int(sql.size()), &statement, nullptr)
            != SQLITE_OK) {
            m_error = sqlite3_errmsg(m_db);
            return nullptr;
        }
        m_statements.emplace(sql, statement);
        return statement;
    }

    sqlite3 *m_db;
    std::unordered_map<std::string, sqlite3_stmt *> m_statements;
    std::unique_lock<std::mutex> m_writing;
    std::string m_error;
};

} // namespace

std::unique_ptr<Connection> openSqlite(const std::string &path, std::string &error)
{
    sqlite3 *handle = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &handle, flags, nullptr) != SQLITE_OK) {
        error = path + ": " + (handle ? sqlite3_errmsg(handle) : "cannot open");
        sqlite3_close(handle);
        return nullptr;
    }
    sqlite3_busy_timeout(handle, 5000);
    // Sizes in bytes as the service counts them; SQLite's length() counts characters.
    sqlite3_create_function(
        handle, "octet_length", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
        [](sqlite3_context *context, int, sqlite3_value **values) {
            if (sqlite3_value_type(values[0]) == SQLITE_NULL)
                sqlite3_result_null(context);
            else
                sqlite3_result_int64(context, sqlite3_value_bytes(values[0]));
        },
        nullptr, nullptr);
    auto connection = std::make_unique<SqliteConnection>(handle);
    // WAL lets the maker's commands read while the service writes; NORMAL syncs at
    // checkpoints, so a crash of the process never loses a committed row.
    // Incremental vacuum lets purge give space back; it takes effect only in a new file.
    std::vector<Row> mode;
    if (!connection->run("PRAGMA auto_vacuum = INCREMENTAL")
        || !connection->run("PRAGMA journal_mode=WAL", {}, &mode)
        || !connection->run("PRAGMA synchronous=NORMAL")) {
        error = path + ": " + connection->error();
        return nullptr;
    }
    return connection;
}

} // namespace db
