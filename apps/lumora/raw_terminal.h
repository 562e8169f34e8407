#pragma once

#include <termios.h>

#include <cstdint>
#include <utility>

namespace lumora::cli {

// Puts a terminal into raw mode (every key goes through as typed, no local echo) for as long
// as the object lives. Input typed before is kept, both ways. Does nothing when the descriptor
// is not a terminal.
class RawTerminal {
 public:
  explicit RawTerminal(int fd);
  ~RawTerminal();
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

 private:
  int fd_;
  bool active_ = false;
  termios saved_{};
};

// The window size of the terminal on `fd` as (columns, rows); 80 × 24 when it has none.
std::pair<std::uint16_t, std::uint16_t> windowSize(int fd);

}  // namespace lumora::cli
