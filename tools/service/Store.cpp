#include "Store.h"

#include <charconv>

namespace {

// One list of statements per schema version; "{id}" is the auto-incremented key of the
// engine. Ids are never reused, so that a device never mistakes a new message for one
// it has shown.
const std::vector<std::vector<std::string>> &migrations()
{
    static const std::vector<std::vector<std::string>> steps = {{
        "CREATE TABLE crashes (id {id}, received BIGINT NOT NULL, device TEXT NOT NULL,"
        " kind TEXT NOT NULL, message TEXT NOT NULL, stack TEXT NOT NULL,"
        " version TEXT NOT NULL, os TEXT NOT NULL, address TEXT NOT NULL)",
        "CREATE TABLE reports (id {id}, received BIGINT NOT NULL, device TEXT NOT NULL,"
        " version TEXT NOT NULL, os TEXT NOT NULL, text TEXT NOT NULL, email TEXT,"
        " address TEXT NOT NULL)",
        // horizon: the newest message id when the device first synced; broadcasts after
        // it are for this device.
        "CREATE TABLE devices (device TEXT PRIMARY KEY, first_seen BIGINT NOT NULL,"
        " last_seen BIGINT NOT NULL, horizon BIGINT NOT NULL, version TEXT NOT NULL,"
        " os TEXT NOT NULL)",
        // device NULL: a broadcast.
        "CREATE TABLE messages (id {id}, created BIGINT NOT NULL, device TEXT,"
        " text TEXT NOT NULL)",
        "CREATE INDEX messages_device ON messages (device, id)",
        "CREATE TABLE deliveries (device TEXT NOT NULL, message BIGINT NOT NULL,"
        " sent INTEGER NOT NULL, last_sent BIGINT NOT NULL, PRIMARY KEY (device, message))",
    }};
    return steps;
}

std::int64_t number(const std::optional<std::string> &text)
{
    std::int64_t value = 0;
    if (text)
        std::from_chars(text->data(), text->data() + text->size(), value);
    return value;
}

std::string replaced(std::string text, std::string_view from, std::string_view to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

} // namespace

std::unique_ptr<Store> Store::open(const std::string &where, std::string &error)
{
    auto connection = db::open(where, error);
    if (!connection)
        return nullptr;
    std::unique_ptr<Store> store(new Store(std::move(connection)));
    if (!store->migrate(error))
        return nullptr;
    return store;
}

bool Store::migrate(std::string &error)
{
    const auto fail = [&] {
        error = "cannot prepare the database: " + m_db->error();
        m_db->rollback();
        return false;
    };
    std::vector<db::Row> rows;
    if (!m_db->begin())
        return fail();
    if (!m_db->lockSchema()
        || !m_db->run("CREATE TABLE IF NOT EXISTS meta (name TEXT PRIMARY KEY,"
                      " value TEXT NOT NULL)")
        || !m_db->run("SELECT value FROM meta WHERE name = 'schema'", {}, &rows))
        return fail();
    const std::int64_t current = rows.empty() ? 0 : number(rows[0][0]);
    const auto latest = std::int64_t(migrations().size());
    if (current > latest) {
        m_db->rollback();
        error = "the database has schema " + std::to_string(current)
                + ", newer than this program's " + std::to_string(latest);
        return false;
    }
    for (auto version = current; version < latest; ++version) {
        for (const std::string &statement : migrations()[version]) {
            if (!m_db->run(replaced(statement, "{id}", m_db->autoIdColumn())))
                return fail();
        }
    }
    if (current < latest
        && !m_db->run("INSERT INTO meta (name, value) VALUES ('schema', $1)"
                      " ON CONFLICT (name) DO UPDATE SET value = excluded.value",
                      {std::to_string(latest)}))
        return fail();
    if (!m_db->commit()) {
        error = "cannot prepare the database: " + m_db->error();
        return false;
    }
    return true;
}

bool Store::addCrash(const Crash &crash, const std::string &address, std::int64_t now)
{
    if (!m_db->begin())
        return false;
    if (!m_db->run("INSERT INTO crashes (received, device, kind, message, stack, version, os,"
                   " address) VALUES ($1, $2, $3, $4, $5, $6, $7, $8)",
                   {now, crash.device, crash.kind, crash.message, crash.stack, crash.version,
                    crash.os, address})) {
        m_db->rollback();
        return false;
    }
    return m_db->commit();
}

bool Store::addReport(const Report &report, const std::string &address, std::int64_t now)
{
    if (!m_db->begin())
        return false;
    const db::Value email = report.email ? db::Value(*report.email) : db::Value();
    if (!m_db->run("INSERT INTO reports (received, device, version, os, text, email, address)"
                   " VALUES ($1, $2, $3, $4, $5, $6, $7)",
                   {now, report.device, report.version, report.os, report.text, email, address})) {
        m_db->rollback();
        return false;
    }
    return m_db->commit();
}

std::optional<Store::Message> Store::sync(const std::string &device, const std::string &version,
                                          const std::string &os, int repeats, std::int64_t now)
{
    if (!m_db->begin())
        return std::nullopt;
    std::vector<db::Row> rows;
    const bool done =
        m_db->run("INSERT INTO devices (device, first_seen, last_seen, horizon, version, os)"
                  " VALUES ($1, $2, $2, (SELECT COALESCE(MAX(id), 0) FROM messages), $3, $4)"
                  " ON CONFLICT (device) DO UPDATE SET last_seen = excluded.last_seen,"
                  " version = excluded.version, os = excluded.os",
                  {device, now, version, os})
        // The oldest message for this device that it has not yet been sent `repeats` times.
        && m_db->run("SELECT m.id, m.text FROM messages m"
                     " JOIN devices d ON d.device = $1"
                     " LEFT JOIN deliveries x ON x.device = $1 AND x.message = m.id"
                     " WHERE (m.device = $1 OR (m.device IS NULL AND m.id > d.horizon))"
                     " AND COALESCE(x.sent, 0) < $2"
                     " ORDER BY m.id LIMIT 1",
                     {device, std::int64_t(repeats)}, &rows)
        && (rows.empty()
            || m_db->run("INSERT INTO deliveries (device, message, sent, last_sent)"
                         " VALUES ($1, $2, 1, $3) ON CONFLICT (device, message)"
                         " DO UPDATE SET sent = deliveries.sent + 1,"
                         " last_sent = excluded.last_sent",
                         {device, number(rows[0][0]), now}));
    if (!done) {
        m_db->rollback();
        return std::nullopt;
    }
    if (!m_db->commit())
        return std::nullopt;
    if (rows.empty())
        return Message{};
    return Message{number(rows[0][0]), rows[0][1].value_or("")};
}

std::optional<std::int64_t> Store::addMessage(const std::optional<std::string> &device,
                                              const std::string &text, std::int64_t now)
{
    std::vector<db::Row> rows;
    if (!m_db->begin())
        return std::nullopt;
    if (!m_db->run("INSERT INTO messages (created, device, text) VALUES ($1, $2, $3)"
                   " RETURNING id",
                   {now, device ? db::Value(*device) : db::Value(), text}, &rows)
        || rows.empty()) {
        m_db->rollback();
        return std::nullopt;
    }
    if (!m_db->commit())
        return std::nullopt;
    return number(rows[0][0]);
}

std::optional<bool> Store::knowsDevice(const std::string &device)
{
    std::vector<db::Row> rows;
    if (!m_db->run("SELECT 1 FROM devices WHERE device = $1", {device}, &rows))
        return std::nullopt;
    return !rows.empty();
}

std::optional<std::vector<Store::Entry>> Store::reports(std::int64_t limit)
{
    return list("SELECT id, received, device, version, os, text, email, '' FROM reports"
                " ORDER BY id DESC LIMIT $1",
                limit);
}

std::optional<std::vector<Store::Entry>> Store::crashes(std::int64_t limit)
{
    return list("SELECT id, received, device, version, os, message, kind, stack FROM crashes"
                " ORDER BY id DESC LIMIT $1",
                limit);
}

std::optional<std::vector<Store::Entry>> Store::list(const char *sql, std::int64_t limit)
{
    std::vector<db::Row> rows;
    if (!m_db->run(sql, {limit}, &rows))
        return std::nullopt;
    std::vector<Entry> entries;
    for (const db::Row &row : rows) {
        entries.push_back({number(row[0]), number(row[1]), row[2].value_or(""), row[3].value_or(""),
                           row[4].value_or(""), row[5].value_or(""), row[6].value_or(""),
                           row[7].value_or("")});
    }
    return entries;
}
