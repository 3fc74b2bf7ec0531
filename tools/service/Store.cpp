// SPDX-License-Identifier: GPL-3.0-or-later
#include "Store.h"

#include "RateLimiter.h"

#include <sodium.h>

#include <charconv>
#include <map>

namespace {

// What each stored row takes, as rowBytes() counts it below.
constexpr const char *crashBytes =
    "octet_length(device) + octet_length(kind) + octet_length(message) + octet_length(stack)"
    " + octet_length(version) + octet_length(os) + octet_length(address) + 64";
constexpr const char *reportBytes =
    "octet_length(device) + octet_length(version) + octet_length(os) + octet_length(text)"
    " + COALESCE(octet_length(email), 0) + octet_length(address) + 64";

// The budget's row of everything stored, all days together.
const std::string everything = "*";
constexpr std::int64_t allDays = -1;

// Sets that row to what the tables hold.
std::string recountEverything()
{
    return std::string("INSERT INTO usage (address, day, bytes) VALUES ('*', -1,"
                       " (SELECT COALESCE(SUM(")
           + crashBytes + "), 0) FROM crashes) + (SELECT COALESCE(SUM(" + reportBytes
           + "), 0) FROM reports) + (SELECT COALESCE(SUM(octet_length(device)"
             " + octet_length(version) + octet_length(os) + 64), 0) FROM devices))"
             " ON CONFLICT (address, day) DO UPDATE SET bytes = excluded.bytes";
}

// One list of statements per schema version; "{id}" is the auto-incremented key of the
// engine. Ids are never reused, so that a device never mistakes a new message for one
// it has shown.
const std::vector<std::vector<std::string>> &migrations()
{
    static const std::vector<std::vector<std::string>> steps = {
        {
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
        },
        {
            // The bytes stored by each address key in each day (UTC, days since 1970); address
            // '*' holds the day's total. The total of what was stored before is counted in the
            // day it was received.
            "CREATE TABLE usage (address TEXT NOT NULL, day BIGINT NOT NULL, bytes BIGINT NOT NULL,"
            " PRIMARY KEY (address, day))",
            "INSERT INTO usage (address, day, bytes) SELECT '*', received / 86400,"
            " SUM(LENGTH(device) + LENGTH(kind) + LENGTH(message) + LENGTH(stack)"
            " + LENGTH(version) + LENGTH(os) + LENGTH(address) + 64)"
            " FROM crashes WHERE true GROUP BY received / 86400",
            "INSERT INTO usage (address, day, bytes) SELECT '*', received / 86400,"
            " SUM(LENGTH(device) + LENGTH(version) + LENGTH(os) + LENGTH(text)"
            " + COALESCE(LENGTH(email), 0) + LENGTH(address) + 64)"
            " FROM reports WHERE true GROUP BY received / 86400"
            " ON CONFLICT (address, day) DO UPDATE SET bytes = usage.bytes + excluded.bytes",
            "CREATE INDEX crashes_device ON crashes (device, id)",
            "CREATE INDEX reports_device ON reports (device, id)",
            "CREATE INDEX crashes_received ON crashes (received)",
            "CREATE INDEX reports_received ON reports (received)",
            "CREATE INDEX devices_last_seen ON devices (last_seen)",
        },
        {
            // A hash of each record's texts, to know a record sent again.
            "ALTER TABLE crashes ADD COLUMN hash TEXT NOT NULL DEFAULT ''",
            "ALTER TABLE reports ADD COLUMN hash TEXT NOT NULL DEFAULT ''",
            "CREATE INDEX crashes_hash ON crashes (device, hash)",
            "CREATE INDEX reports_hash ON reports (device, hash)",
            // Everything stored is one row now, day -1, charged in one statement.
            "DELETE FROM usage WHERE address = '*'",
            recountEverything(),
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

// What a row takes, roughly: its texts and a fixed share for the rest.
std::int64_t rowBytes(std::initializer_list<std::string_view> texts)
{
    std::int64_t bytes = 64;
    for (const std::string_view text : texts)
        bytes += std::int64_t(text.size());
    return bytes;
}

// Hex of a hash of the texts, each one's end marked: no two lists of texts give the same
// bytes to hash (none of them holds a NUL).
std::string hashOf(std::initializer_list<std::string_view> texts)
{
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES);
    for (const std::string_view text : texts) {
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(text.data()),
                                  text.size());
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(""), 1);
    }
    unsigned char hash[crypto_generichash_BYTES];
    crypto_generichash_final(&state, hash, sizeof hash);
    char hex[2 * sizeof hash + 1];
    sodium_bin2hex(hex, sizeof hex, hash, sizeof hash);
    return hex;
}

std::string replaced(std::string text, std::string_view from, std::string_view to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

} // namespace

std::unique_ptr<Store> Store::open(const std::string &where, std::string &error,
                                   std::chrono::seconds timeout)
{
    auto connection = db::open(where, error, timeout);
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

Store::Outcome Store::charge(std::int64_t bytes, const Sender &sender, const Budget &budget,
                             std::int64_t now)
{
    const std::int64_t day = now / 86400;
    struct Count
    {
        const std::string &key;
        std::int64_t day, budget;
        Outcome over;
    };
    // Always in this order, so that two transactions never each wait for a row the other
    // holds.
    const Count counts[] = {
        {sender.addressKey, day, budget.perAddressDaily, Outcome::addressOverBudget},
        {sender.network, day, budget.perNetworkDaily, Outcome::addressOverBudget},
        {everything, allDays, budget.total, Outcome::overBudget}};
    for (const Count &count : counts) {
        if (count.key.empty())
            continue;
        if (bytes > count.budget)
            return count.over;
        // The row is locked and read again as it is now before the condition is checked:
        // another writer's charge is either counted or waited for.
        std::vector<db::Row> rows;
        if (!m_db->run("INSERT INTO usage (address, day, bytes) VALUES ($1, $2, $3)"
                       " ON CONFLICT (address, day) DO UPDATE SET bytes = usage.bytes + $3"
                       " WHERE usage.bytes + $3 <= $4 RETURNING bytes",
                       {count.key, count.day, bytes, count.budget}, &rows))
            return Outcome::failed;
        if (rows.empty())
            return count.over;
    }
    return Outcome::stored;
}

std::optional<bool> Store::repeated(const char *table, const std::string &device,
                                    const std::string &hash, const Sender &sender, std::int64_t now)
{
    // Installations without an id all say "?": theirs are told apart by address too.
    std::string sql = std::string("SELECT 1 FROM ") + table
                      + " WHERE device = $1 AND hash = $2 AND received >= $3";
    std::vector<db::Value> values{device, hash, now - repeatWindow};
    if (device == "?") {
        sql += " AND address = $4";
        values.emplace_back(sender.address);
    }
    std::vector<db::Row> rows;
    if (!m_db->run(sql + " LIMIT 1", values, &rows))
        return std::nullopt;
    return !rows.empty();
}

Store::Outcome Store::insert(const char *table, const std::string &device, const std::string &hash,
                             const std::string &sql, const std::vector<db::Value> &values,
                             std::int64_t bytes, const Sender &sender, const Budget &budget,
                             std::int64_t now)
{
    if (!m_db->begin())
        return Outcome::failed;
    // Charged first: that locks the sender's usage row, so that a retry overlapping the first
    // request waits for it to end, and then finds what it stored.
    const Outcome charged = charge(bytes, sender, budget, now);
    const auto again = repeated(table, device, hash, sender, now);
    if (!again || *again || charged != Outcome::stored) {
        m_db->rollback();
        return !again ? Outcome::failed : *again ? Outcome::stored : charged;
    }
    if (!m_db->run(sql, values)) {
        m_db->rollback();
        return Outcome::failed;
    }
    return m_db->commit() ? Outcome::stored : Outcome::failed;
}

Store::Outcome Store::addCrash(const Crash &crash, const Sender &sender, const Budget &budget,
                               std::int64_t now)
{
    const std::string hash =
        hashOf({crash.device, crash.kind, crash.message, crash.stack, crash.version, crash.os});
    return insert(
        "crashes", crash.device, hash,
        "INSERT INTO crashes (received, device, kind, message, stack, version, os, address,"
        " hash) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)",
        {now, crash.device, crash.kind, crash.message, crash.stack, crash.version, crash.os,
         sender.address, hash},
        rowBytes({crash.device, crash.kind, crash.message, crash.stack, crash.version, crash.os,
                  sender.address}),
        sender, budget, now);
}

Store::Outcome Store::addReport(const Report &report, const Sender &sender, const Budget &budget,
                                std::int64_t now)
{
    const db::Value email = report.email ? db::Value(*report.email) : db::Value();
    // An absent e-mail is told from an empty one.
    const std::string hash = hashOf({report.device, report.version, report.os, report.text,
                                     report.email ? "@" + *report.email : ""});
    return insert(
        "reports", report.device, hash,
        "INSERT INTO reports (received, device, version, os, text, email, address,"
        " hash) VALUES ($1, $2, $3, $4, $5, $6, $7, $8)",
        {now, report.device, report.version, report.os, report.text, email, sender.address, hash},
        rowBytes({report.device, report.version, report.os, report.text, report.email.value_or(""),
                  sender.address}),
        sender, budget, now);
}

std::optional<Store::Message> Store::sync(const std::string &device, const std::string &version,
                                          const std::string &os, int repeats, const Sender &sender,
                                          const Budget &budget, std::int64_t now, Outcome &outcome)
{
    outcome = Outcome::failed;
    if (!m_db->begin())
        return std::nullopt;
    std::vector<db::Row> rows;
    // A device's row is stored data too: made-up ids must not grow the table without end.
    if (!m_db->run("SELECT 1 FROM devices WHERE device = $1", {device}, &rows)) {
        m_db->rollback();
        return std::nullopt;
    }
    if (rows.empty()) {
        outcome = charge(rowBytes({device, version, os}), sender, budget, now);
        if (outcome != Outcome::stored) {
            m_db->rollback();
            return std::nullopt;
        }
    }
    rows.clear();
    outcome = Outcome::failed;
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
    outcome = Outcome::stored;
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

bool Store::reports(const Listing &listing, const std::function<void(const Entry &)> &onEntry)
{
    return list("id, received, device, version, os, text, COALESCE(email, ''), ''", "reports",
                listing, onEntry);
}

bool Store::crashes(const Listing &listing, const std::function<void(const Entry &)> &onEntry)
{
    return list("id, received, device, version, os, message, kind, stack", "crashes", listing,
                onEntry);
}

bool Store::list(const char *columns, const char *table, const Listing &listing,
                 const std::function<void(const Entry &)> &onEntry)
{
    // Only the conditions asked for, so that each form of the query uses its index.
    std::string sql = std::string("SELECT ") + columns + " FROM " + table + " WHERE true";
    std::vector<db::Value> values{listing.limit};
    if (listing.before > 0) {
        values.emplace_back(listing.before);
        sql += " AND id < $" + std::to_string(values.size());
    }
    if (!listing.device.empty()) {
        values.emplace_back(listing.device);
        sql += " AND device = $" + std::to_string(values.size());
    }
    sql += " ORDER BY id DESC LIMIT $1";
    return m_db->each(sql, values, [&](db::Row &&row) {
        onEntry({number(row[0]), number(row[1]), row[2].value_or(""), row[3].value_or(""),
                 row[4].value_or(""), row[5].value_or(""), row[6].value_or(""),
                 row[7].value_or("")});
    });
}

std::optional<Store::Purged> Store::purge(std::int64_t cutoff, std::int64_t now)
{
    // A log left full by the service goes first: on a full disk, its room is what the
    // deletions below need.
    m_db->compact(true);
    Purged purged;
    const auto deleting = [&](const std::string &sql, std::int64_t *count) {
        return m_db->each(sql + " RETURNING 1", {cutoff}, [count](db::Row &&) {
            if (count)
                ++*count;
        });
    };
    const std::string gone = "(SELECT device FROM devices WHERE last_seen < $1)";
    const bool done = m_db->begin()
                      && deleting("DELETE FROM crashes WHERE received < $1", &purged.crashes)
                      && deleting("DELETE FROM reports WHERE received < $1", &purged.reports)
                      && deleting("DELETE FROM messages WHERE device IN " + gone, nullptr)
                      && deleting("DELETE FROM deliveries WHERE device IN " + gone, nullptr)
                      && deleting("DELETE FROM devices WHERE last_seen < $1", &purged.devices)
                      && recount(cutoff, now);
    if (!done) {
        m_db->rollback();
        return std::nullopt;
    }
    if (!m_db->commit())
        return std::nullopt;
    purged.compacted = m_db->compact();
    return purged;
}

bool Store::recount(std::int64_t cutoff, std::int64_t now)
{
    // No charge comes between the count and its writing.
    const std::int64_t today = now / 86400;
    if (!m_db->lockTable("usage") || !m_db->run(recountEverything())
        || !m_db->run("DELETE FROM usage WHERE day <> $1 AND day <> $2", {today, allDays}))
        return false;
    // Today's rows count what each address stored today; they change only when today's
    // records went too (and then the rows of new devices are forgiven).
    if (cutoff <= today * 86400)
        return true;
    std::map<std::string, std::int64_t> bytes;
    const auto add = [&](db::Row &&row) {
        const std::string address = row[0].value_or("");
        for (const std::string &key :
             {RateLimiter::addressKey(address), RateLimiter::networkKey(address)}) {
            if (!key.empty())
                bytes[key] += number(row[1]);
        }
    };
    for (const char *table : {"crashes", "reports"}) {
        const std::string sum = std::string("SELECT address, SUM(")
                                + (table == std::string("crashes") ? crashBytes : reportBytes)
                                + ") FROM " + table + " WHERE received >= $1 GROUP BY address";
        if (!m_db->each(sum, {today * 86400}, add))
            return false;
    }
    if (!m_db->run("DELETE FROM usage WHERE day = $1", {today}))
        return false;
    for (const auto &[key, total] : bytes) {
        if (!m_db->run("INSERT INTO usage (address, day, bytes) VALUES ($1, $2, $3)",
                       {key, today, total}))
            return false;
    }
    return true;
}
