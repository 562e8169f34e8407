#include "account/sql_account_store.h"

#include <charconv>

#include "account/postgres_database.h"
#include "account/sqlite_database.h"
#include "protocol/auth_crypto.h"
#include "protocol/hex.h"
#include "protocol/message_id.h"

namespace lumora::account {
namespace {

// Each entry brings the schema from its index to the next version. Never edit a released one:
// add another.
const char* const kMigrations[] = {
    R"sql(
CREATE TABLE service_secrets (
  name TEXT PRIMARY KEY,
  value TEXT NOT NULL
);
CREATE TABLE users (
  id TEXT PRIMARY KEY,
  provider TEXT NOT NULL,
  subject TEXT NOT NULL,
  email TEXT,
  display_name TEXT,
  created_at BIGINT NOT NULL,
  UNIQUE (provider, subject)
);
CREATE TABLE refresh_tokens (
  token_hash TEXT PRIMARY KEY,
  user_id TEXT NOT NULL REFERENCES users (id) ON DELETE CASCADE,
  family TEXT NOT NULL,
  expires_at BIGINT NOT NULL,
  used_at BIGINT
);
CREATE INDEX refresh_tokens_family ON refresh_tokens (family);
CREATE TABLE devices (
  id TEXT PRIMARY KEY,
  user_id TEXT NOT NULL REFERENCES users (id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  platform TEXT NOT NULL,
  status TEXT NOT NULL,
  pairing_fingerprint TEXT,
  created_at BIGINT NOT NULL,
  updated_at BIGINT NOT NULL,
  last_seen_at BIGINT,
  last_host TEXT,
  last_control_port INTEGER,
  last_media_port INTEGER,
  UNIQUE (user_id, name, platform)
);
CREATE INDEX devices_fingerprint ON devices (user_id, pairing_fingerprint);
)sql",
    // Fingerprints registered before registration had to prove the pairing secret could name
    // anyone's agent, and named rooms after the secret's plain hash: forget them. Devices get
    // their room fingerprint back when their computer registers them again.
    R"sql(
UPDATE devices SET pairing_fingerprint = NULL;
)sql",
};

constexpr const char* kDeviceColumns =
    "id, user_id, name, platform, status, pairing_fingerprint, created_at, last_seen_at, "
    "last_host, last_control_port, last_media_port";

std::int64_t number(const std::optional<std::string>& text) {
  std::int64_t value = 0;
  if (text) std::from_chars(text->data(), text->data() + text->size(), value);
  return value;
}

std::optional<std::int64_t> optionalNumber(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return number(text);
}

SqlValue optionalText(const std::optional<std::string>& text) {
  return text ? SqlValue(*text) : SqlValue();
}

Device deviceFrom(const SqlRow& row) {
  Device device;
  device.id = row.at(0).value_or("");
  device.userId = row.at(1).value_or("");
  device.name = row.at(2).value_or("");
  device.platform = row.at(3).value_or("");
  device.status = row.at(4).value_or("");
  device.pairingFingerprint = row.at(5);
  device.createdAt = number(row.at(6));
  device.lastSeenAt = optionalNumber(row.at(7));
  device.lastHost = row.at(8);
  if (auto port = optionalNumber(row.at(9))) device.lastControlPort = static_cast<int>(*port);
  if (auto port = optionalNumber(row.at(10))) device.lastMediaPort = static_cast<int>(*port);
  return device;
}

User userFrom(const SqlRow& row) {
  return User{row.at(0).value_or(""), row.at(1).value_or(""), row.at(2).value_or(""), row.at(3),
              row.at(4)};
}

std::string randomSecret() { return protocol::hexString(protocol::AuthCrypto::randomNonce(32)); }

// Statements separated by ";" at the end of a line, run one by one (libpq's parameterised
// calls take one statement each).
std::vector<std::string> statementsOf(const std::string& script) {
  std::vector<std::string> statements;
  std::size_t start = 0;
  for (std::size_t end; (end = script.find(";\n", start)) != std::string::npos; start = end + 2) {
    statements.push_back(script.substr(start, end - start));
  }
  return statements;
}

}  // namespace

SqlAccountStore::SqlAccountStore(std::unique_ptr<SqlDatabase> database) : db_(std::move(database)) {
  migrate();
}

int SqlAccountStore::schemaVersion() { return static_cast<int>(std::size(kMigrations)); }

void SqlAccountStore::migrate() {
  db_->exclusively([&] {
    db_->query("CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER PRIMARY KEY)", {});
    auto rows = db_->query("SELECT COALESCE(MAX(version), 0) FROM schema_migrations", {});
    const auto current = number(rows.at(0).at(0));
    if (current > schemaVersion()) {
      throw StoreError("the database's schema (version " + std::to_string(current) +
                       ") is newer than this program knows (" + std::to_string(schemaVersion()) +
                       ")");
    }
    for (auto version = current; version < schemaVersion(); ++version) {
      for (const auto& statement : statementsOf(kMigrations[version])) db_->query(statement, {});
      db_->query("INSERT INTO schema_migrations (version) VALUES ($1)", {version + 1});
    }
  });
}

std::string SqlAccountStore::signingSecret() {
  db_->query(
      "INSERT INTO service_secrets (name, value) VALUES ('token-signing', $1) "
      "ON CONFLICT (name) DO NOTHING",
      {randomSecret()});
  auto rows = db_->query("SELECT value FROM service_secrets WHERE name = 'token-signing'", {});
  if (rows.empty() || !rows[0].at(0)) throw StoreError("the signing secret went missing");
  return *rows[0][0];
}

User SqlAccountStore::signIn(const Identity& identity, Millis now) {
  auto rows = db_->query(
      "INSERT INTO users (id, provider, subject, email, display_name, created_at) "
      "VALUES ($1, $2, $3, $4, $5, $6) "
      "ON CONFLICT (provider, subject) DO UPDATE SET email = excluded.email, "
      "display_name = excluded.display_name "
      "RETURNING id, provider, subject, email, display_name",
      {protocol::randomUUIDString(), identity.provider, identity.subject,
       optionalText(identity.email), optionalText(identity.displayName), now});
  if (rows.empty()) throw StoreError("sign-in wrote no account");
  return userFrom(rows[0]);
}

std::optional<User> SqlAccountStore::findUser(const std::string& userId) {
  auto rows = db_->query(
      "SELECT id, provider, subject, email, display_name FROM users WHERE id = $1", {userId});
  if (rows.empty()) return std::nullopt;
  return userFrom(rows[0]);
}

void SqlAccountStore::addRefreshToken(const std::string& tokenHash, const std::string& userId,
                                      const std::string& family, Millis expiresAt) {
  db_->query(
      "INSERT INTO refresh_tokens (token_hash, user_id, family, expires_at) "
      "VALUES ($1, $2, $3, $4)",
      {tokenHash, userId, family, expiresAt});
}

void SqlAccountStore::ping() { db_->query("SELECT 1", {}); }

AccountStore::RefreshUse SqlAccountStore::useRefreshToken(const std::string& tokenHash,
                                                          Millis now) {
  // Marking it used is the one step that decides: of two instances racing with the same token,
  // only one sees its row come back.
  auto used = db_->query(
      "UPDATE refresh_tokens SET used_at = $2 WHERE token_hash = $1 AND used_at IS NULL "
      "RETURNING user_id, family, expires_at",
      {tokenHash, now});
  if (!used.empty()) {
    RefreshUse use{RefreshUse::Outcome::accepted, used[0].at(0).value_or(""),
                   used[0].at(1).value_or("")};
    if (number(used[0].at(2)) <= now) use.outcome = RefreshUse::Outcome::expired;
    return use;
  }
  auto known =
      db_->query("SELECT user_id, family FROM refresh_tokens WHERE token_hash = $1", {tokenHash});
  if (known.empty()) return {};
  return {RefreshUse::Outcome::reused, known[0].at(0).value_or(""), known[0].at(1).value_or("")};
}

void SqlAccountStore::revokeRefreshFamily(const std::string& family) {
  db_->query("DELETE FROM refresh_tokens WHERE family = $1", {family});
}

std::optional<std::string> SqlAccountStore::refreshTokenFamily(const std::string& tokenHash) {
  auto rows = db_->query("SELECT family FROM refresh_tokens WHERE token_hash = $1", {tokenHash});
  if (rows.empty()) return std::nullopt;
  return rows[0].at(0);
}

std::optional<Device> SqlAccountStore::oneDevice(const std::string& sql,
                                                 const std::vector<SqlValue>& params) {
  auto rows = db_->query(sql, params);
  if (rows.empty()) return std::nullopt;
  return deviceFrom(rows[0]);
}

AccountStore::Registration SqlAccountStore::registerDevice(
    const std::string& userId, const std::string& name, const std::string& platform,
    const std::optional<std::string>& pairingFingerprint, Millis now) {
  const std::string returning = std::string(" RETURNING ") + kDeviceColumns;
  // Each step is atomic on its own; a device deleted between them sends us round again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (auto created = oneDevice(
            "INSERT INTO devices (id, user_id, name, platform, status, pairing_fingerprint, "
            "created_at, updated_at) VALUES ($1, $2, $3, $4, 'registered', $5, $6, $6) "
            "ON CONFLICT (user_id, name, platform) DO NOTHING" +
                returning,
            {protocol::randomUUIDString(), userId, name, platform, optionalText(pairingFingerprint),
             now})) {
      return {Registration::Outcome::created, *created};
    }
    if (pairingFingerprint) {
      if (auto updated =
              oneDevice("UPDATE devices SET pairing_fingerprint = $4, updated_at = $5 "
                        "WHERE user_id = $1 AND name = $2 AND platform = $3 "
                        "AND (pairing_fingerprint IS NULL OR pairing_fingerprint <> $4)" +
                            returning,
                        {userId, name, platform, *pairingFingerprint, now})) {
        return {Registration::Outcome::updated, *updated};
      }
    }
    if (auto existing = oneDevice(std::string("SELECT ") + kDeviceColumns +
                                      " FROM devices WHERE user_id = $1 AND name = $2 AND "
                                      "platform = $3",
                                  {userId, name, platform})) {
      return {Registration::Outcome::unchanged, *existing};
    }
  }
  throw StoreError("the device kept changing while it was registered");
}

std::vector<Device> SqlAccountStore::listDevices(const std::string& userId) {
  std::vector<Device> devices;
  for (const auto& row : db_->query(std::string("SELECT ") + kDeviceColumns +
                                        " FROM devices WHERE user_id = $1 ORDER BY created_at, id",
                                    {userId})) {
    devices.push_back(deviceFrom(row));
  }
  return devices;
}

std::optional<Device> SqlAccountStore::findDeviceByFingerprint(const std::string& userId,
                                                               const std::string& fingerprint) {
  return oneDevice(std::string("SELECT ") + kDeviceColumns +
                       " FROM devices WHERE user_id = $1 AND pairing_fingerprint = $2 "
                       "ORDER BY updated_at DESC, id LIMIT 1",
                   {userId, fingerprint});
}

AccountStore::Rename SqlAccountStore::renameDevice(const std::string& userId,
                                                   const std::string& deviceId,
                                                   const std::string& name) {
  // A name another device of the same platform already has is refused rather than merging the
  // two: the unique key would otherwise fail the statement.
  auto taken = db_->query(
      "SELECT 1 FROM devices d JOIN devices o ON o.user_id = d.user_id AND o.platform = d.platform "
      "WHERE d.id = $1 AND d.user_id = $2 AND o.name = $3 AND o.id <> d.id",
      {deviceId, userId, name});
  if (!taken.empty()) return {Rename::Outcome::nameTaken, {}};
  if (auto renamed = oneDevice(std::string("UPDATE devices SET name = $3 WHERE id = $1 AND "
                                           "user_id = $2 RETURNING ") +
                                   kDeviceColumns,
                               {deviceId, userId, name})) {
    return {Rename::Outcome::renamed, *renamed};
  }
  return {Rename::Outcome::notFound, {}};
}

bool SqlAccountStore::deleteDevice(const std::string& userId, const std::string& deviceId) {
  return !db_->query("DELETE FROM devices WHERE id = $1 AND user_id = $2 RETURNING id",
                     {deviceId, userId})
              .empty();
}

std::optional<Device> SqlAccountStore::reportConnection(const std::string& userId,
                                                        const std::string& deviceId,
                                                        const ConnectionReport& report,
                                                        Millis now) {
  return oneDevice(std::string("UPDATE devices SET status = 'connected', last_seen_at = $3, "
                               "last_host = $4, last_control_port = $5, last_media_port = $6 "
                               "WHERE id = $1 AND user_id = $2 RETURNING ") +
                       kDeviceColumns,
                   {deviceId, userId, now, report.host, std::int64_t{report.controlPort},
                    std::int64_t{report.mediaPort}});
}

std::unique_ptr<AccountStore> openAccountStore(const std::string& database) {
  if (auto path = sqliteFileOf(database)) {
    return std::make_unique<SqlAccountStore>(openSqliteDatabase(*path));
  }
  return std::make_unique<SqlAccountStore>(openPostgresDatabase(database));
}

}  // namespace lumora::account
