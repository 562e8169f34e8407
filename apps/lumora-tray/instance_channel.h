#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>
#include <string>
#include <vector>

namespace lumora::tray {

// One application per user: a second start hands its command URLs to the running one over a
// local socket and ends. The socket lives in $XDG_RUNTIME_DIR (else in the temporary folder
// under the user's id) and only this user may connect to it. What crosses it is one URL per
// line, UTF-8, or kShowPanel.
namespace InstanceChannel {

std::string socketPath();

// What a start without URLs sends: the running instance shows its panel.
inline constexpr const char* kShowPanel = "show-panel";

// Gives `urls` to the instance listening at `path`: true once it took them, false when none
// listens there.
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
  // answers there (or the path cannot be used).
  bool listen(const std::string& path);

 private:
  void accept();

  std::function<void(const std::string&)> handle_;
  QLocalServer server_;
};

}  // namespace lumora::tray
