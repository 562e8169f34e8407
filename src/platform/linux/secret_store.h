#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace lumora::platform::linux_os {

// One secret text kept for the user between runs.
class SecretStore {
 public:
  virtual ~SecretStore() = default;
  // Throws std::runtime_error (what() for the user) when it cannot be kept.
  virtual void save(const std::string& secret) = 0;
  // Nothing when none is kept or it cannot be read.
  virtual std::optional<std::string> load() = 0;
  // Never throws.
  virtual void clear() = 0;
};

// The Secret Service item with attributes service = `service` and account = `account`.
std::unique_ptr<SecretStore> makeSecretServiceStore(std::string service, std::string account);
// A 0600 file, its folder made 0700 when missing.
std::unique_ptr<SecretStore> makeFileSecretStore(std::filesystem::path file);
// Whether a Secret Service answers on the session bus now.
bool secretServiceAvailable();
// The Secret Service when one answers, else the file $XDG_CONFIG_HOME/lumora/`fileName`
// (~/.config when unset).
std::unique_ptr<SecretStore> openSecretStore(const std::string& service, const std::string& account,
                                             const std::string& fileName);

}  // namespace lumora::platform::linux_os
