#include "platform/wayland/restore_token_file.h"

#include <fstream>
#include <iterator>

#include "core/agent_log.h"
#include "platform/linux/atomic_file.h"

namespace lumora::platform::wayland {
namespace {

// Tokens are short opaque texts (UUIDs on the common desktops); anything longer is not one.
constexpr std::size_t kMaxTokenBytes = 4096;

bool isToken(const std::string& text) {
  if (text.empty() || text.size() > kMaxTokenBytes) return false;
  for (unsigned char c : text) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> RestoreTokenFile::load() const {
  std::ifstream in(file_, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  text.resize(kMaxTokenBytes + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (!isToken(text)) return std::nullopt;
  return text;
}

void RestoreTokenFile::store(const std::optional<std::string>& token) const {
  core::AgentLog log("capture");
  try {
    if (!token || !isToken(*token)) {
      std::error_code ignored;
      std::filesystem::remove(file_, ignored);
      return;
    }
    if (!linux_os::makePrivateDirectory(file_.parent_path())) {
      log.error("cannot keep the screen-sharing permission: " + file_.parent_path().string() +
                " is not a private folder");
      return;
    }
    const std::string line = *token + "\n";
    linux_os::writeFileAtomically(file_.string(), protocol::asBytes(line), 0600);
  } catch (const std::exception& e) {
    log.error("cannot keep the screen-sharing permission: " + std::string(e.what()));
  }
}

}  // namespace lumora::platform::wayland
