#include "platform/linux/xdg_autostart_login_item.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "platform/linux/atomic_file.h"
#include "platform/linux/user_account.h"
#include "protocol/bytes.h"

namespace lumora::platform::linux_os {
namespace {

std::string_view trimmed(std::string_view text) {
  return boost::algorithm::trim_copy_if(text, boost::algorithm::is_any_of(" \t\r"));
}

// One argument of an Exec line. Reserved characters need double quotes, inside which ", `, $
// and \ take a backslash; the file's own string escaping then doubles every backslash, and a
// literal % is written %%.
std::string execArgument(const std::string& argument) {
  constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string quoted;
  const bool needsQuotes =
      argument.empty() || argument.find_first_of(kReserved) != std::string::npos;
  for (const char c : argument) {
    if (c == '%') {
      quoted += "%%";
    } else if (needsQuotes && (c == '"' || c == '`' || c == '$')) {
      quoted += '\\';
      quoted += c;
    } else if (c == '\\') {
      quoted += "\\\\\\\\";  // a backslash is reserved, so always within quotes
    } else if (c == '\n') {
      quoted += "\\n";
    } else {
      quoted += c;
    }
  }
  return needsQuotes ? '"' + quoted + '"' : quoted;
}

bool isFalse(std::string_view value) { return value == "false"; }
bool isTrue(std::string_view value) { return value == "true"; }

}  // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(std::filesystem::path autostartDirectory,
                                             std::string program)
    : directory_(std::move(autostartDirectory)),
      file_(directory_ / "lumora-tray.desktop"),
      program_(std::move(program)) {}

std::filesystem::path XdgAutostartLoginItem::defaultDirectory() {
  return configHome() / "autostart";
}

bool XdgAutostartLoginItem::isEnabled() const {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file_, ec)) return false;
  std::ifstream in(file_);
  if (!in) return false;
  bool inMainGroup = false;
  for (std::string line; std::getline(in, line);) {
    const std::string_view text = trimmed(line);
    if (text.empty() || text.front() == '#') continue;
    if (text.front() == '[') {
      inMainGroup = text == "[Desktop Entry]";
      continue;
    }
    if (!inMainGroup) continue;
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = trimmed(text.substr(0, equals));
    const std::string_view value = trimmed(text.substr(equals + 1));
    // Hidden=true is how a user's entry switches off one of the same name; GNOME also honours
    // its own switch.
    if (key == "Hidden" && isTrue(value)) return false;
    if (key == "X-GNOME-Autostart-enabled" && isFalse(value)) return false;
  }
  return true;
}

void XdgAutostartLoginItem::enable() {
  std::error_code ec;
  std::filesystem::create_directories(directory_, ec);
  if (!std::filesystem::is_directory(directory_)) {
    throw std::runtime_error("Cannot create the autostart folder " + directory_.string() +
                             (ec ? ": " + ec.message() : std::string(": something else is there")));
  }
  const std::string entry =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Lumora\n"
      "Comment=Lets your phone reach this computer\n"
      "Exec=" +
      execArgument(program_) +
      "\n"
      "Icon=lumora\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  try {
    writeFileAtomically(file_.string(), protocol::asBytes(entry), 0644);
  } catch (const std::system_error& error) {
    throw std::runtime_error("Cannot write the autostart entry " + file_.string() + ": " +
                             error.code().message());
  }
}

void XdgAutostartLoginItem::disable() {
  if (::unlink(file_.c_str()) != 0 && errno != ENOENT) {
    throw std::runtime_error("Cannot remove the autostart entry " + file_.string() + ": " +
                             std::generic_category().message(errno));
  }
}

}  // namespace lumora::platform::linux_os
