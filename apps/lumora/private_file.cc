#include "private_file.h"

#include <sys/stat.h>

#include <boost/json/parse.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/linux/atomic_file.h"
#include "protocol/bytes.h"

namespace lumora::cli {

namespace json = boost::json;

namespace {

std::runtime_error fileError(const std::filesystem::path& file, const std::string& what) {
  return std::runtime_error(what + " " + file.string() + ": " + std::strerror(errno));
}

}  // namespace

std::filesystem::path configDirectory() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config == '/') return std::filesystem::path(config) / "lumora";
  const char* home = std::getenv("HOME");
  if (!home || !*home) throw std::runtime_error("cannot find the configuration: HOME is not set");
  return std::filesystem::path(home) / ".config" / "lumora";
}

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
  std::vector<std::filesystem::path> missing;
  std::error_code unknown;  // a directory that cannot be looked at fails the write, with its name
  for (auto directory = file.parent_path();
       !directory.empty() && !std::filesystem::exists(directory, unknown) && !unknown;
       directory = directory.parent_path()) {
    missing.push_back(directory);
  }
  for (auto directory = missing.rbegin(); directory != missing.rend(); ++directory) {
    if (::mkdir(directory->c_str(), 0700) != 0 && errno != EEXIST) {
      throw fileError(*directory, "cannot create");
    }
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
