#include "private_file.h"

#include <boost/json/parse.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "platform/linux/atomic_file.h"
#include "platform/linux/user_account.h"
#include "protocol/bytes.h"

namespace lumora::cli {

namespace json = boost::json;

namespace {

std::runtime_error fileError(const std::filesystem::path& file, const std::string& what) {
  return std::runtime_error(what + " " + file.string() + ": " + std::strerror(errno));
}

}  // namespace

std::filesystem::path configDirectory() { return platform::linux_os::configHome() / "lumora"; }

json::object readJSONObject(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return {};
    throw fileError(file, "cannot read");
  }
  std::string text((std::istreambuf_iterator<char>(in)), {});
  boost::system::error_code ec;
  json::value parsed = json::parse(text, ec);
  if (ec || !parsed.is_object()) {
    throw std::runtime_error("cannot parse " + file.string() + ": not a JSON object");
  }
  return std::move(parsed.as_object());
}

void writePrivately(const std::filesystem::path& file, const std::string& text) {
  // Secrets go only into a folder of this user's that nobody else can enter.
  const auto folder = file.parent_path();
  if (!folder.empty() && !platform::linux_os::makePrivateDirectory(folder)) {
    throw std::runtime_error("cannot create " + folder.string() +
                             ": not a folder of this user's alone");
  }
  try {
    platform::linux_os::writeFileAtomically(file.string(), protocol::asBytes(text), 0600);
    // A lumora killed while saving left a temporary holding secrets; nobody needs it.
    platform::linux_os::removeAbandonedTemporaries(file.string());
  } catch (const std::system_error& e) {
    throw std::runtime_error("cannot write " + file.string() + ": " + e.code().message());
  }
}

}  // namespace lumora::cli
