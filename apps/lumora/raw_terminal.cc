#include "raw_terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace lumora::cli {

RawTerminal::RawTerminal(int fd) : fd_(fd) {
  if (::isatty(fd) != 1 || ::tcgetattr(fd, &saved_) != 0) return;
  termios raw = saved_;
  ::cfmakeraw(&raw);
  // TCSADRAIN, not TCSAFLUSH: what was typed before (while the connection was being made) is
  // kept and read as input, as a person typing ahead expects.
  active_ = ::tcsetattr(fd, TCSADRAIN, &raw) == 0;
}

RawTerminal::~RawTerminal() {
  if (active_) ::tcsetattr(fd_, TCSADRAIN, &saved_);
}

std::pair<std::uint16_t, std::uint16_t> windowSize(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
    return {size.ws_col, size.ws_row};
  }
  return {80, 24};
}

}  // namespace lumora::cli
