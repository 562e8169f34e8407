#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumora::tray {

// One application per user: a second start hands its command URLs to the running one over a
// local socket and ends. What crosses it is one URL per line, UTF-8, or kShowPanel.
//
// Who may use the socket: this user only. It lives in $XDG_RUNTIME_DIR, which the session
// makes for this user alone; without one, in a folder of this user's under the temporary
// folder that only this user may enter, made so, and refused when it is there already but
// belongs to someone else or is open to others (anyone can make a folder of that name in /tmp
// first). Both ends also ask the system who holds the other end (SO_PEERCRED): a start never
// hands its URLs to a listener of another user, and the instance drops, unread, a connection of
// another user.
namespace InstanceChannel {

// A reason the socket cannot be used safely, in one line for the user.
class RefusedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// $XDG_RUNTIME_DIR/lumora-tray.socket when XDG_RUNTIME_DIR names a folder, else
// lumora-tray.socket in the folder lumora-tray-<uid> of the temporary folder ($TMPDIR, else
// /tmp), which it makes 0700 when missing. Throws RefusedError when that folder is a link or
// not a folder, is another user's, or lets anyone else in.
std::string socketPath();

// What a start without URLs sends: the running instance shows its panel.
inline constexpr const char* kShowPanel = "show-panel";

// Gives `urls` to the instance listening at `path`: true once it took them, false when none
// listens there. Throws RefusedError, having sent nothing, when the listener is another user's.
bool handOver(const std::string& path, const std::vector<std::string>& urls);

}  // namespace InstanceChannel

// The running instance's end: hands every URL it receives to `handle`, in the order sent.
//
// Threads: the GUI thread.
class InstanceServer : public QObject {
 public:
  // A line longer than this ends the connection that sent it; so does more than kMaxUrls lines.
  static constexpr qint64 kMaxLine = 4096;
  static constexpr int kMaxUrls = 64;

  explicit InstanceServer(std::function<void(const std::string&)> handle);

  // Listens at `path`, replacing a socket nobody answers on; false when another instance
  // answers there (or the path cannot be used). Throws RefusedError when another user's
  // program answers there.
  bool listen(const std::string& path);

 private:
  void accept();

  std::function<void(const std::string&)> handle_;
  QLocalServer server_;
};

}  // namespace lumora::tray
