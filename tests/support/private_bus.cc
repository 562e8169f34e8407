#include "support/private_bus.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/spawn.h"

namespace lumora::testing_support {
namespace {

std::string configFor(const std::filesystem::path& socket) {
  return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" +
         socket.string() + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

}  // namespace

std::vector<std::string> endingWithThisThread(std::vector<std::string> argv) {
  argv.insert(argv.begin(), {"setpriv", "--pdeathsig", "KILL", "--"});
  return argv;
}

PrivateBus::PrivateBus(const std::filesystem::path& folder) {
  const auto config = folder / "bus.conf";
  std::ofstream(config) << configFor(folder / "bus");
  const std::string log = folder / "bus.log";

  // dbus-daemon writes its address to descriptor 3 once it listens.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  try {
    pid_ = spawnProcess(endingWithThisThread({"dbus-daemon", "--config-file=" + config.string(),
                                              "--nofork", "--print-address=3"}),
                        {.error = log, .passFd = fds[1]});
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
    throw std::runtime_error("dbus-daemon did not come up: " + logTail(log));
  }
}

PrivateBus::~PrivateBus() { stop(); }

void PrivateBus::stop() { endProcess(pid_); }

void PrivateBus::waitForName(const std::string& name, pid_t& owner, const std::string& ownerLog,
                             const std::string& what, std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const ProgramRun reply = runProgram({"dbus-send", "--bus=" + address_, "--print-reply",
                                         "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                         "org.freedesktop.DBus.NameHasOwner", "string:" + name});
    if (reply.output.find("boolean true") != std::string::npos) return;
    if (reapIfEnded(owner) || std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error(what + " did not come up: " + logTail(ownerLog));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace lumora::testing_support
