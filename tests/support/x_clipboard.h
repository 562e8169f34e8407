#pragma once

#include <sys/types.h>

#include <string>

#include "support/temp_dir.h"

namespace lumora::testing_support {

// The clipboard of an X display as another application (xclip) sees it. What it offers is held
// by an xclip kept in the foreground (-quiet), which this object ends; a program taking the
// clipboard ends it too. Reads are bounded by timeout(1), so a broken owner fails a test instead
// of hanging it.
class XClipboard {
 public:
  explicit XClipboard(std::string display) : display_(std::move(display)) {}
  ~XClipboard() { clear(); }
  XClipboard(const XClipboard&) = delete;
  XClipboard& operator=(const XClipboard&) = delete;

  // The clipboard's content as `target`; empty when nobody offers it.
  std::string read(const std::string& target = "UTF8_STRING") const;

  // Offers `bytes` as `target` until the next offer, or until another program takes the
  // clipboard; true once xclip answers for it.
  bool offer(const std::string& bytes, const std::string& target = "UTF8_STRING");

  // Ends the program that offers the clipboard, which leaves it without an owner.
  void clear();

 private:
  std::string display_;
  TempDir folder_;
  pid_t owner_ = -1;
};

}  // namespace lumora::testing_support
