#include "support/secret_service_session.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "support/spawn.h"

namespace lumora::testing_support {

SecretServiceSession::SecretServiceSession(bool withKeyring) {
  for (const char* folder : {"run", "data", "config", "cache"}) {
    std::filesystem::create_directories(home_.path() / folder);
  }
  std::filesystem::permissions(home_.path() / "run", std::filesystem::perms::owner_all);
  bus_.emplace(home_.path());
  busVariable_.emplace("DBUS_SESSION_BUS_ADDRESS", bus_->address());
  if (!withKeyring) return;

  // --unlock reads the login keyring's password from standard input and creates the keyring
  // with it when there is none. An empty password reads as no password at all: the keyring is
  // then never created and every store asks for a prompt that cannot be shown here.
  const std::string password = home_.make("password", "lumora-test");
  try {
    keyring_ =
        spawnProcess({"gnome-keyring-daemon", "--foreground", "--components=secrets", "--unlock"},
                     {.environment = environment(),
                      .input = password,
                      .output = home_ / "keyring.log",
                      .error = home_ / "keyring.log"});
  } catch (const std::runtime_error&) {
    stop();
    throw std::runtime_error("cannot run gnome-keyring-daemon (is it installed?)");
  }
  // Ready once it owns the Secret Service's name on the bus.
  try {
    bus_->waitForName("org.freedesktop.secrets", keyring_, home_ / "keyring.log",
                      "gnome-keyring-daemon");
  } catch (const std::runtime_error&) {
    stop();
    throw;
  }
}

SecretServiceSession::~SecretServiceSession() { stop(); }

void SecretServiceSession::stop() {
  endProcess(keyring_);
  if (bus_) bus_->stop();
  busVariable_.reset();
}

std::vector<std::string> SecretServiceSession::environment() const {
  const char* path = std::getenv("PATH");
  return {"HOME=" + home_.path().string(),
          "XDG_RUNTIME_DIR=" + home_ / "run",
          "XDG_DATA_HOME=" + home_ / "data",
          "XDG_CONFIG_HOME=" + home_ / "config",
          "XDG_CACHE_HOME=" + home_ / "cache",
          "DBUS_SESSION_BUS_ADDRESS=" + address(),
          std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin")};
}

}  // namespace lumora::testing_support
