#pragma once

#include <functional>
#include <string>

namespace lumora::sdk {

// Shows a URL in the user's web browser: the one seam between a sign-in and the desktop, so
// that a test can put a browser of its own in its place.
class BrowserOpener {
 public:
  virtual ~BrowserOpener() = default;

  // Starts showing `url` and returns at once. `finished` is called at most once, from any
  // thread (possibly before open returns), with false when no browser could show the URL and
  // true when one took it; an opener destroyed before it knows may never call it.
  virtual void open(const std::string& url, std::function<void(bool shown)> finished) = 0;
};

}  // namespace lumora::sdk
