#pragma once

#include <memory>
#include <string>

#include "sdk/oauth/browser_opener.h"

namespace lumora::sdk {

// Opens URLs with `xdg-open`, the desktop's choice of browser. The URL counts as shown unless
// the program cannot be started or ends with a failure status; xdg-open may also stay until
// the browser it started ends, so the answer can come late (or, when this object goes first,
// not at all). Its output is discarded.
//
// Threads: open() may be called from any thread; `finished` runs on a thread of this object's.
class XdgOpenBrowser : public BrowserOpener {
 public:
  // `program`: looked up on PATH when it has no "/"; tests name another.
  explicit XdgOpenBrowser(std::string program = "xdg-open");
  ~XdgOpenBrowser() override;

  void open(const std::string& url, std::function<void(bool shown)> finished) override;

 private:
  struct Waiter;
  std::string program_;
  std::unique_ptr<Waiter> waiter_;
};

}  // namespace lumora::sdk
