#pragma once

#include <memory>

#include "account/account_store.h"
#include "account/sql_database.h"

namespace lumora::account {

// The account store over either database: the same statements, written in the SQL both
// understand. Brings the schema up to date when opened (each instance sharing the database may
// do so; the migration runs once).
class SqlAccountStore final : public AccountStore {
 public:
  explicit SqlAccountStore(std::unique_ptr<SqlDatabase> database);

  // The schema version this build writes.
  static int schemaVersion();

  std::string signingSecret() override;
  void ping() override;
  User signIn(const Identity& identity, Millis now) override;
  std::optional<User> findUser(const std::string& userId) override;
  void addRefreshToken(const std::string& tokenHash, const std::string& userId,
                       const std::string& family, Millis expiresAt) override;
  RefreshUse useRefreshToken(const std::string& tokenHash, Millis now) override;
  void revokeRefreshFamily(const std::string& family) override;
  std::optional<std::string> refreshTokenFamily(const std::string& tokenHash) override;
  Registration registerDevice(const std::string& userId, const std::string& name,
                              const std::string& platform,
                              const std::optional<std::string>& pairingFingerprint,
                              Millis now) override;
  std::vector<Device> listDevices(const std::string& userId) override;
  std::optional<Device> findDeviceByFingerprint(const std::string& userId,
                                                const std::string& fingerprint) override;
  Rename renameDevice(const std::string& userId, const std::string& deviceId,
                      const std::string& name) override;
  bool deleteDevice(const std::string& userId, const std::string& deviceId) override;
  std::optional<Device> reportConnection(const std::string& userId, const std::string& deviceId,
                                         const ConnectionReport& report, Millis now) override;

 private:
  void migrate();
  std::optional<Device> oneDevice(const std::string& sql, const std::vector<SqlValue>& params);

  std::unique_ptr<SqlDatabase> db_;
};

// Opens the store a --database setting names: "postgresql://…" or "postgres://…" for PostgreSQL,
// "sqlite:PATH" or a plain path for SQLite. Throws StoreError when it cannot.
std::unique_ptr<AccountStore> openAccountStore(const std::string& database);

}  // namespace lumora::account
