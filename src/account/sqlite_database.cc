#include "account/sqlite_database.h"

#include <sqlite3.h>

#include <mutex>
#include <unordered_map>

#include "account/account_store.h"
#include "account/private_files.h"

namespace lumora::account {
namespace {

class SqliteDatabase final : public SqlDatabase {
 public:
  explicit SqliteDatabase(const std::string& path) {
    // The file holds the token-signing key: it is made private before SQLite opens it, and
    // SQLite gives its -wal, -shm and -journal files the same mode. (":memory:" and "" are
    // SQLite's names for databases without a file of their own.)
    if (!path.empty() && path != ":memory:") {
      if (auto why = createPrivateFile(path)) throw StoreError(*why);
      if (auto why = openToOthers({path, path + "-wal", path + "-shm", path + "-journal"},
                                  "the service's token-signing key")) {
        throw StoreError(*why);
      }
    }
    if (sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      db_ = nullptr;
      throw StoreError("cannot open " + path + ": " + why);
    }
    // Another instance on the same file (a restart overlapping the old one) waits its turn.
    sqlite3_busy_timeout(db_, 5000);
    run("PRAGMA journal_mode=WAL");
    run("PRAGMA synchronous=NORMAL");
    run("PRAGMA foreign_keys=ON");
  }

  ~SqliteDatabase() override {
    for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
    sqlite3_close(db_);
  }

  std::vector<SqlRow> query(const std::string& sql, const std::vector<SqlValue>& params) override {
    std::lock_guard guard(lock_);
    sqlite3_stmt* statement = prepared(sql);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    for (std::size_t i = 0; i < params.size(); ++i) {
      const std::string name = "$" + std::to_string(i + 1);
      const int index = sqlite3_bind_parameter_index(statement, name.c_str());
      if (index == 0) continue;  // a parameter the statement does not use
      const SqlValue& value = params[i];
      if (const auto* number = std::get_if<std::int64_t>(&value)) {
        sqlite3_bind_int64(statement, index, *number);
      } else if (const auto* text = std::get_if<std::string>(&value)) {
        sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()),
                          SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_null(statement, index);
      }
    }
    std::vector<SqlRow> rows;
    for (;;) {
      const int step = sqlite3_step(statement);
      if (step == SQLITE_DONE) break;
      if (step != SQLITE_ROW) {
        const std::string why = sqlite3_errmsg(db_);
        sqlite3_reset(statement);
        throw StoreError("sqlite: " + why);
      }
      SqlRow row;
      const int columns = sqlite3_column_count(statement);
      for (int c = 0; c < columns; ++c) {
        if (sqlite3_column_type(statement, c) == SQLITE_NULL) {
          row.emplace_back();
        } else {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
          row.emplace_back(
              std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, c))));
        }
      }
      rows.push_back(std::move(row));
    }
    sqlite3_reset(statement);
    return rows;
  }

  void exclusively(const std::function<void()>& work) override {
    std::lock_guard guard(lock_);
    run("BEGIN IMMEDIATE");
    try {
      work();
      run("COMMIT");
    } catch (...) {
      run("ROLLBACK");
      throw;
    }
  }

  const char* dialect() const override { return "sqlite"; }

 private:
  void run(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
      const std::string why = message ? message : "unknown error";
      sqlite3_free(message);
      throw StoreError(std::string("sqlite: ") + sql + ": " + why);
    }
  }

  // Statements are prepared once per text and kept: the store runs the same few over and over.
  sqlite3_stmt* prepared(const std::string& sql) {
    auto found = statements_.find(sql);
    if (found != statements_.end()) return found->second;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                           SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
      throw StoreError("sqlite: " + std::string(sqlite3_errmsg(db_)) + " in " + sql);
    }
    statements_.emplace(sql, statement);
    return statement;
  }

  sqlite3* db_ = nullptr;
  // One connection: SQLite writes one at a time anyway, and the service's statements are short.
  std::recursive_mutex lock_;
  std::unordered_map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace

std::unique_ptr<SqlDatabase> openSqliteDatabase(const std::string& path) {
  return std::make_unique<SqliteDatabase>(path);
}

std::optional<std::string> sqliteFileOf(const std::string& database) {
  if (database.starts_with("postgresql://") || database.starts_with("postgres://")) {
    return std::nullopt;
  }
  if (database.starts_with("sqlite://")) return database.substr(9);
  if (database.starts_with("sqlite:")) return database.substr(7);
  return database;
}

}  // namespace lumora::account
