#include "support/secret_service_session.h"

#include "support/private_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "support/spawn.h"

namespace lumora::testing_support {

SecretServiceSession::SecretServiceSession(bool withKeyring) {
  for (const char* folder : {"run", "data", "config", "cache"}) {
    std::filesystem::create_directories(home_.path() / folder);
  }
  std::filesystem::permissions(home_.path() / "run", std::filesystem::perms::owner_all);
  const std::string config = home_.make("bus.conf", privateBusConfig(home_ / "bus"));

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  try {
    bus_ = spawnProcess({"dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=3"},
                        {.error = home_ / "bus.log", .passFd = fds[1]});
  } catch (const std::runtime_error&) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw std::runtime_error("cannot run dbus-daemon (is it installed?)");
  }
  ::close(fds[1]);
  address_ = readLine(fds[0], std::chrono::seconds(10)).value_or("");
  ::close(fds[0]);
  if (address_.empty()) {
    stop();
    throw std::runtime_error("dbus-daemon did not come up: " + contentOf(home_ / "bus.log"));
  }
  busVariable_.emplace("DBUS_SESSION_BUS_ADDRESS", address_);
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
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  for (;;) {
    const ProgramRun owner =
        runProgram({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                    "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                    "string:org.freedesktop.secrets"},
                   {.environment = environment()});
    if (owner.output.find("boolean true") != std::string::npos) break;
    const bool ended = ::waitpid(keyring_, nullptr, WNOHANG) == keyring_;
    if (ended || std::chrono::steady_clock::now() > deadline) {
      if (ended) keyring_ = -1;
      stop();
      throw std::runtime_error("gnome-keyring-daemon did not come up: " +
                               contentOf(home_ / "keyring.log"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

SecretServiceSession::~SecretServiceSession() { stop(); }

void SecretServiceSession::stop() {
  endProcess(keyring_);
  endProcess(bus_);
  busVariable_.reset();
}

std::vector<std::string> SecretServiceSession::environment() const {
  const char* path = std::getenv("PATH");
  return {"HOME=" + home_.path().string(),
          "XDG_RUNTIME_DIR=" + home_ / "run",
          "XDG_DATA_HOME=" + home_ / "data",
          "XDG_CONFIG_HOME=" + home_ / "config",
          "XDG_CACHE_HOME=" + home_ / "cache",
          "DBUS_SESSION_BUS_ADDRESS=" + address_,
          std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin")};
}

}  // namespace lumora::testing_support
