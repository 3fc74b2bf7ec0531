// SPDX-License-Identifier: GPL-3.0-or-later
#include "Database.h"

namespace db {

bool isPostgresUrl(const std::string &where)
{
    return where.starts_with("postgresql://") || where.starts_with("postgres://");
}

std::unique_ptr<Connection> open(const std::string &where, std::string &error,
                                 std::chrono::seconds timeout)
{
    return isPostgresUrl(where) ? openPostgres(where, error, timeout) : openSqlite(where, error);
}

} // namespace db
