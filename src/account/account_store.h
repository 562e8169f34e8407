#pragma once

#include <optional>
#include <string>
#include <vector>

#include "account/records.h"

namespace lumora::account {

// A failure of the database itself (unreachable, corrupt, a broken migration); the service
// answers it with 500 and logs the text.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where accounts, devices and refresh tokens live. One interface over SQLite and PostgreSQL;
// every operation is one atomic step, so several service instances may share a database.
//
// Threads: the implementations are safe to call from any thread; calls block on the database,
// so the service makes them on its worker pool, never on a network thread.
class AccountStore {
 public:
  virtual ~AccountStore() = default;

  // The secret the service signs its own tokens with: made by the first instance that asks and
  // shared by every instance on the same database, so a token from one is valid on all.
  virtual std::string signingSecret() = 0;
  // Throws StoreError unless the database answers (the load balancer's health check).
  virtual void ping() = 0;

  // The account for this identity, created on first sign-in; e-mail and name follow what the
  // provider says now.
  virtual User signIn(const Identity& identity, Millis now) = 0;
  virtual std::optional<User> findUser(const std::string& userId) = 0;

  // Refresh tokens are kept as hashes. Each belongs to a family: the chain of tokens one sign-in
  // rotated through.
  virtual void addRefreshToken(const std::string& tokenHash, const std::string& userId,
                               const std::string& family, Millis expiresAt) = 0;

  struct RefreshUse {
    enum class Outcome { accepted, unknown, expired, reused } outcome = Outcome::unknown;
    std::string userId;
    std::string family;
  };
  // Marks the token used, once: a second use answers `reused` (and the caller revokes the
  // family: someone holds a copy).
  virtual RefreshUse useRefreshToken(const std::string& tokenHash, Millis now) = 0;
  virtual void revokeRefreshFamily(const std::string& family) = 0;
  // The family of a stored token, used or not (a sign-out ends it); nothing for an unknown one.
  virtual std::optional<std::string> refreshTokenFamily(const std::string& tokenHash) = 0;

  struct Registration {
    enum class Outcome { created, updated, unchanged } outcome = Outcome::created;
    Device device;
  };
  // The account's device of this name and platform: created, given the fingerprint it did not
  // have, or left as it is.
  virtual Registration registerDevice(const std::string& userId, const std::string& name,
                                      const std::string& platform,
                                      const std::optional<std::string>& pairingFingerprint,
                                      Millis now) = 0;
  virtual std::vector<Device> listDevices(const std::string& userId) = 0;
  // The most recently registered of the account's devices with this fingerprint.
  virtual std::optional<Device> findDeviceByFingerprint(const std::string& userId,
                                                        const std::string& fingerprint) = 0;

  struct Rename {
    enum class Outcome { renamed, notFound, nameTaken } outcome = Outcome::notFound;
    Device device;
  };
  virtual Rename renameDevice(const std::string& userId, const std::string& deviceId,
                              const std::string& name) = 0;
  // False when the account has no such device.
  virtual bool deleteDevice(const std::string& userId, const std::string& deviceId) = 0;
  virtual std::optional<Device> reportConnection(const std::string& userId,
                                                 const std::string& deviceId,
                                                 const ConnectionReport& report, Millis now) = 0;
};

}  // namespace lumora::account
