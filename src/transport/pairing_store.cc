#include "transport/pairing_store.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/linux/atomic_file.h"
#include "platform/linux/machine_id.h"
#include "protocol/auth_crypto.h"
#include "transport/home_directory.h"
#include "transport/sealed_box.h"

namespace lumora::transport {

using protocol::Bytes;
using protocol::PairingSecret;

Bytes MachineKey::deriveFor(const std::string& machineIdentifier, const std::string& salt) {
  return protocol::AuthCrypto::sha256(protocol::asBytes(machineIdentifier + "|" + salt));
}

Bytes MachineKey::derive(const std::string& salt) {
  return deriveFor(platform::linux_os::machineIdentifier().value_or(kFallbackIdentifier), salt);
}

PairingStore::PairingStore(std::string filePath, Bytes key)
    : filePath_(std::move(filePath)), key_(std::move(key)) {}

PairingStore PairingStore::defaultStore() {
  return PairingStore((agentDirectory() / "pairing").string(), MachineKey::derive(kSalt));
}

std::optional<Bytes> PairingStore::readFile() const {
  std::ifstream file(filePath_, std::ios::binary);
  if (!file) return std::nullopt;
  // The file holds a few dozen bytes; anything much larger is not ours.
  Bytes bytes(4096);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
}

std::optional<std::pair<PairingSecret, bool>> PairingStore::parse(protocol::ByteView bytes) const {
  if (auto opened = SealedBox::open(key_, bytes)) return std::pair{PairingSecret{*opened}, false};
  std::string_view text = protocol::asText(bytes);
  auto first = text.find_first_not_of(" \t\r\n\v\f");
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(" \t\r\n\v\f") - first + 1);
  if (auto secret = PairingSecret::fromCode(text)) return std::pair{*secret, true};
  return std::nullopt;
}

std::optional<PairingSecret> PairingStore::load() const {
  auto bytes = readFile();
  if (!bytes) return std::nullopt;
  auto parsed = parse(*bytes);
  if (!parsed) return std::nullopt;
  return parsed->first;
}

void PairingStore::save(const PairingSecret& secret) const {
  std::filesystem::path directory = std::filesystem::path(filePath_).parent_path();
  if (!directory.empty()) {
    // The folder holds the pairing secret and the status file with the code: nobody else's.
    if (!platform::linux_os::makePrivateDirectory(directory)) {
      throw std::system_error(std::make_error_code(std::errc::permission_denied),
                              "cannot keep " + directory.string() + " private");
    }
  }
  platform::linux_os::writeFileAtomically(filePath_, SealedBox::seal(key_, secret.data), 0600);
}

PairingSecret PairingStore::loadOrCreate() const {
  platform::linux_os::removeAbandonedTemporaries(filePath_);
  if (auto bytes = readFile()) {
    if (auto parsed = parse(*bytes)) {
      if (parsed->second) save(parsed->first);  // upgrade the plain-text form
      return parsed->first;
    }
  }
  return reset();
}

PairingSecret PairingStore::reset() const {
  platform::linux_os::removeAbandonedTemporaries(filePath_);
  PairingSecret secret = PairingSecret::generate();
  save(secret);
  return secret;
}

}  // namespace lumora::transport
