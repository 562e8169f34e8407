#pragma once

#include <memory>
#include <string>

#include "account/sql_database.h"

namespace lumora::account {

// Opens (creating it and its folder if needed) the SQLite file at `path`, in WAL mode, for one
// service instance. Throws StoreError when it cannot.
std::unique_ptr<SqlDatabase> openSqliteDatabase(const std::string& path);

}  // namespace lumora::account
