#pragma once

#include <memory>
#include <optional>
#include <string>

#include "account/sql_database.h"

namespace lumora::account {

// Opens (creating it and its folder if needed) the SQLite file at `path`, in WAL mode, for one
// service instance. The folders it creates are 0700 and the file 0600. Throws StoreError when it
// cannot, and when other users may read or write the file or its companions.
std::unique_ptr<SqlDatabase> openSqliteDatabase(const std::string& path);

// The file a --database URL names ("sqlite:PATH", "sqlite://PATH" or a plain path); nothing for
// PostgreSQL.
std::optional<std::string> sqliteFileOf(const std::string& database);

}  // namespace lumora::account
