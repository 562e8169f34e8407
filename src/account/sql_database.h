#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace lumora::account {

// A parameter of a statement: NULL, an integer or a text.
using SqlValue = std::variant<std::monostate, std::int64_t, std::string>;
// One result row, every column as text (NULL as nothing), in the order the statement names.
using SqlRow = std::vector<std::optional<std::string>>;

// The little both databases must do for the account store: run one statement with
// parameters written $1, $2 … and hand back its rows as text, and run a group of statements
// as one transaction that no other instance interleaves with (for migrations).
//
// Threads: safe to call from any thread; calls block. Failures throw StoreError.
class SqlDatabase {
 public:
  virtual ~SqlDatabase() = default;
  virtual std::vector<SqlRow> query(const std::string& sql,
                                    const std::vector<SqlValue>& params) = 0;
  // Runs `work` (whose statements go through `query`) inside one exclusive transaction.
  virtual void exclusively(const std::function<void()>& work) = 0;
  // "sqlite" or "postgresql": the one place the schema differs.
  virtual const char* dialect() const = 0;
};

}  // namespace lumora::account
