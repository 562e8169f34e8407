#include "raw_terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace lumora::cli {

RawTerminal::RawTerminal(int fd) : fd_(fd) {
  if (::isatty(fd) != 1 || ::tcgetattr(fd, &saved_) != 0) return;
  termios raw = saved_;
  ::cfmakeraw(&raw);
  active_ = ::tcsetattr(fd, TCSAFLUSH, &raw) == 0;
}

RawTerminal::~RawTerminal() {
  if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
}

std::pair<std::uint16_t, std::uint16_t> windowSize(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
    return {size.ws_col, size.ws_row};
  }
  return {80, 24};
}

}  // namespace lumora::cli
