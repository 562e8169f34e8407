#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "sdk/account/auth_client.h"

namespace lumora::cli {

// What `lumora login` keeps: the account service signed in to, and the token pair it gave.
struct StoredAccount {
  std::optional<std::string> serviceURL;
  std::optional<sdk::AuthTokens> tokens;  // absent once logged out
};

// The account file, readable only by this user, replaced whole on every save:
//   {"accountService": "<URL>", "tokens": {"accessToken", "refreshToken", "user": {...}}}
class AccountStore {
 public:
  explicit AccountStore(std::filesystem::path file) : file_(std::move(file)) {}

  // $XDG_CONFIG_HOME/lumora/account.json, else ~/.config/lumora/account.json.
  static std::filesystem::path defaultPath();

  const std::filesystem::path& path() const { return file_; }

  // Nothing stored reads as an empty account. Throws std::runtime_error naming the file when it
  // cannot be read or its tokens are damaged.
  StoredAccount load() const;
  // Throws std::runtime_error naming the file when it cannot be written.
  void save(const StoredAccount& account);

 private:
  std::filesystem::path file_;
};

}  // namespace lumora::cli
