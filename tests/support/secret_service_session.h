#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "support/private_bus.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace lumora::testing_support {

// A PrivateBus for one test in a throw-away HOME, with (unless `withKeyring` is
// false) a real Secret Service on it: gnome-keyring-daemon with its login keyring created and
// unlocked. DBUS_SESSION_BUS_ADDRESS points at the bus while the object lives. The bus starts
// nothing on demand, so a bus without the keyring really has no Secret Service.
class SecretServiceSession {
 public:
  // Throws std::runtime_error (with the daemons' own words) when either cannot be started.
  explicit SecretServiceSession(bool withKeyring = true);
  ~SecretServiceSession();
  SecretServiceSession(const SecretServiceSession&) = delete;
  SecretServiceSession& operator=(const SecretServiceSession&) = delete;

  const std::string& address() const { return bus_->address(); }
  // The environment of a program that should use this session (secret-tool), for SpawnOptions.
  std::vector<std::string> environment() const;
  const TempDir& home() const { return home_; }

 private:
  void stop();

  TempDir home_;
  std::optional<PrivateBus> bus_;
  pid_t keyring_ = -1;
  std::optional<ScopedEnvironment> busVariable_;
};

}  // namespace lumora::testing_support
