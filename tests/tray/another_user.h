#pragma once

// Another local user's program at the tray's socket: the user nobody (group nogroup, no other
// groups) through setpriv, which only root may do. The tests that need one skip otherwise.

#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/spawn.h"

namespace lumora::tray {

inline bool canActAsAnotherUser() { return ::geteuid() == 0; }

inline std::vector<std::string> asAnotherUser(std::vector<std::string> argv) {
  argv.insert(argv.begin(),
              {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"});
  return argv;
}

// Connects to `path`, writes `line`, ends its writing and waits for the other end: "closed"
// once it closed, "answered" when it wrote something, "open" when it stayed open for 5 s, nothing
// when it could not connect.
inline std::string sendAsAnotherUser(const std::string& path, const std::string& line) {
  static const char* kClient = R"(
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.settimeout(5)
try:
    s.sendall(sys.argv[2].encode() + b"\n")
    s.shutdown(socket.SHUT_WR)
    print("closed" if s.recv(1) == b"" else "answered")
except socket.timeout:
    print("open")
except OSError:
    print("closed")
)";
  return testing_support::runProgram(asAnotherUser({"/usr/bin/python3", "-c", kClient, path, line}))
      .output;
}

// Listens at `path` for one connection and keeps what it sends.
class ListenerOfAnotherUser {
 public:
  // Returns once it listens; throws when it does not within 10 s.
  explicit ListenerOfAnotherUser(const std::string& path) {
    static const char* kListener = R"(
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.bind(sys.argv[1])
s.listen(1)
print("listening", flush=True)
s.settimeout(10)
c, _ = s.accept()
c.settimeout(3)
data = b""
try:
    while chunk := c.recv(4096):
        data += chunk
except OSError:
    pass
print("received " + data.hex(), flush=True)
)";
    peer_ = testing_support::spawnWithChannel(
        asAnotherUser({"/usr/bin/python3", "-c", kListener, path}), {});
    if (testing_support::readLine(peer_.channel, std::chrono::seconds(10)) != "listening") {
      throw std::runtime_error("the other user's listener did not start");
    }
  }
  ~ListenerOfAnotherUser() {
    testing_support::endProcess(peer_.pid);
    ::close(peer_.channel);
  }
  ListenerOfAnotherUser(const ListenerOfAnotherUser&) = delete;
  ListenerOfAnotherUser& operator=(const ListenerOfAnotherUser&) = delete;

  // The bytes its connection sent, in hexadecimal, once that connection ended; "" for none.
  std::string received() {
    const auto line = testing_support::readLine(peer_.channel, std::chrono::seconds(15));
    if (!line || !line->starts_with("received ")) throw std::runtime_error("no connection came");
    return line->substr(9);
  }

 private:
  testing_support::ChannelledProcess peer_;
};

}  // namespace lumora::tray
