#include "account/postgres_database.h"

#include <libpq-fe.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "account/account_store.h"

namespace lumora::account {
namespace {

struct ResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

struct ConnectionDeleter {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnectionDeleter>;

class PostgresDatabase final : public SqlDatabase {
 public:
  PostgresDatabase(std::string url, std::size_t size) : url_(std::move(url)), size_(size) {
    idle_.push_back(connect());
    opened_ = 1;
  }

  std::vector<SqlRow> query(const std::string& sql, const std::vector<SqlValue>& params) override {
    if (pinned_ != nullptr) return run(pinned_, sql, params);
    Lease lease(*this);
    return run(lease.connection.get(), sql, params);
  }

  void exclusively(const std::function<void()>& work) override {
    Lease lease(*this);
    PGconn* connection = lease.connection.get();
    run(connection, "BEGIN", {});
    pinned_ = connection;
    try {
      // Every instance sharing the database takes the same lock, so two that start together
      // do not both migrate.
      run(connection, "SELECT pg_advisory_xact_lock(7351)", {});
      work();
      pinned_ = nullptr;
      run(connection, "COMMIT", {});
    } catch (...) {
      pinned_ = nullptr;
      PQclear(PQexec(connection, "ROLLBACK"));
      throw;
    }
  }

  const char* dialect() const override { return "postgresql"; }

 private:
  // A connection taken from the pool for one call; a broken one is dropped on return.
  struct Lease {
    explicit Lease(PostgresDatabase& owner) : database(owner) { connection = owner.acquire(); }
    ~Lease() { database.release(std::move(connection)); }
    PostgresDatabase& database;
    Connection connection;
  };

  Connection connect() {
    Connection connection(PQconnectdb(url_.c_str()));
    if (!connection || PQstatus(connection.get()) != CONNECTION_OK) {
      std::string why = connection ? PQerrorMessage(connection.get()) : "out of memory";
      while (!why.empty() && why.back() == '\n') why.pop_back();
      throw StoreError("postgresql: cannot connect: " + why);
    }
    // Notices ("already exists, skipping") are not the console's business.
    PQsetNoticeProcessor(
        connection.get(), [](void*, const char*) {}, nullptr);
    return connection;
  }

  Connection acquire() {
    std::unique_lock guard(lock_);
    for (;;) {
      if (!idle_.empty()) {
        Connection connection = std::move(idle_.back());
        idle_.pop_back();
        return connection;
      }
      if (opened_ < size_) {
        ++opened_;
        guard.unlock();
        try {
          return connect();
        } catch (...) {
          guard.lock();
          --opened_;
          throw;
        }
      }
      returned_.wait(guard);
    }
  }

  void release(Connection connection) {
    std::lock_guard guard(lock_);
    if (connection && PQstatus(connection.get()) == CONNECTION_OK) {
      idle_.push_back(std::move(connection));
    } else {
      --opened_;  // the next caller opens a fresh one
    }
    returned_.notify_one();
  }

  static std::vector<SqlRow> run(PGconn* connection, const std::string& sql,
                                 const std::vector<SqlValue>& params) {
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size(), nullptr);
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (const auto* number = std::get_if<std::int64_t>(&params[i])) {
        texts[i] = std::to_string(*number);
        values[i] = texts[i].c_str();
      } else if (const auto* text = std::get_if<std::string>(&params[i])) {
        values[i] = text->c_str();
      }
    }
    Result result(PQexecParams(connection, sql.c_str(), static_cast<int>(params.size()), nullptr,
                               values.data(), nullptr, nullptr, 0));
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
      std::string why = PQerrorMessage(connection);
      while (!why.empty() && why.back() == '\n') why.pop_back();
      throw StoreError("postgresql: " + why);
    }
    std::vector<SqlRow> rows;
    const int count = PQntuples(result.get());
    const int columns = PQnfields(result.get());
    rows.reserve(static_cast<std::size_t>(count));
    for (int r = 0; r < count; ++r) {
      SqlRow row;
      row.reserve(static_cast<std::size_t>(columns));
      for (int c = 0; c < columns; ++c) {
        if (PQgetisnull(result.get(), r, c)) {
          row.emplace_back();
        } else {
          row.emplace_back(std::string(PQgetvalue(result.get(), r, c),
                                       static_cast<std::size_t>(PQgetlength(result.get(), r, c))));
        }
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  const std::string url_;
  const std::size_t size_;
  std::mutex lock_;  // guards idle_ and opened_
  std::condition_variable returned_;
  std::vector<Connection> idle_;
  std::size_t opened_ = 0;
  // The connection of the transaction the calling thread is in, if any.
  static thread_local PGconn* pinned_;
};

thread_local PGconn* PostgresDatabase::pinned_ = nullptr;

}  // namespace

std::unique_ptr<SqlDatabase> openPostgresDatabase(const std::string& url, std::size_t connections) {
  return std::make_unique<PostgresDatabase>(url, connections);
}

}  // namespace lumora::account
