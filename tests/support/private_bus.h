#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace lumora::testing_support {

// `argv` run through setpriv so that the program gets SIGKILL when the thread that starts it
// ends: a test killed at its timeout or crashed leaves no daemons behind (PID 1 does not reap
// orphans here). Start such programs from the test's own thread, not a short-lived one.
std::vector<std::string> endingWithThisThread(std::vector<std::string> argv);

// A private D-Bus session bus for one test: dbus-daemon with the session bus's usual policy and
// no service folder, so nothing is activated behind the test's back (a service the bus started
// would not be the test's child, and nobody would end it). Its configuration, socket and log
// (bus.conf, bus, bus.log) are in `folder`. It dies with the thread that started it
// (endingWithThisThread), so start it from the test's own thread.
class PrivateBus {
 public:
  // Throws std::runtime_error with dbus-daemon's own words when it does not come up.
  explicit PrivateBus(const std::filesystem::path& folder);
  // stop().
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // The bus, as DBUS_SESSION_BUS_ADDRESS.
  const std::string& address() const { return address_; }

  // Returns once `name` has an owner on the bus. Throws std::runtime_error ("<what> did not
  // come up: " and the tail of `ownerLog`) when the process `owner` ends first (it is then
  // reaped: -1) or `limit` passes.
  void waitForName(const std::string& name, pid_t& owner, const std::string& ownerLog,
                   const std::string& what,
                   std::chrono::milliseconds limit = std::chrono::seconds(15)) const;

  // Ends the daemon and waits for it; nothing once it has.
  void stop();

 private:
  pid_t pid_ = -1;
  std::string address_;
};

}  // namespace lumora::testing_support
