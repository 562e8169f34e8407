#pragma once

#include <optional>
#include <string>

#include "protocol/bytes.h"
#include "protocol/pairing_secret.h"

namespace lumora::transport {

// The key that seals the pairing file: SHA-256 of "<machine id>|<salt>", so the file opens
// only on the machine that wrote it.
namespace MachineKey {
inline constexpr const char* kFallbackIdentifier = "quokka-harbours-machine";
protocol::Bytes derive(const std::string& salt);
protocol::Bytes deriveFor(const std::string& machineIdentifier, const std::string& salt);
}  // namespace MachineKey

// Keeps the pairing secret across restarts in one file, AES-256-GCM sealed with the machine
// key (nonce, ciphertext, tag; nothing else), written atomically with mode 0600. An older
// form, the pairing code as plain text, is still read and rewritten sealed. A file that can be
// read but yields no secret is replaced by a new secret, which unpairs every phone. Starting
// (loadOrCreate, reset) clears away what the writes of an agent killed mid-save left behind.
class PairingStore {
 public:
  static constexpr const char* kSalt = "orbitale.bindings.v2";

  PairingStore(std::string filePath, protocol::Bytes key);

  // ~/.lumora/pairing under the machine key.
  static PairingStore defaultStore();

  // The stored secret, or nothing; never throws.
  std::optional<protocol::PairingSecret> load() const;
  // Throws std::system_error when the directory or file cannot be written.
  void save(const protocol::PairingSecret& secret) const;
  protocol::PairingSecret loadOrCreate() const;
  protocol::PairingSecret reset() const;

  const std::string& filePath() const { return filePath_; }

 private:
  // The secret in `bytes` and whether it came from the plain-text form.
  std::optional<std::pair<protocol::PairingSecret, bool>> parse(protocol::ByteView bytes) const;
  std::optional<protocol::Bytes> readFile() const;

  std::string filePath_;
  protocol::Bytes key_;
};

}  // namespace lumora::transport
