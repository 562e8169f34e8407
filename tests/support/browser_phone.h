#pragma once

// A phone's browser for the web client's end-to-end tests and benchmark: Debian's Chromium,
// headless in a Pixel 7 context, driven by web/test/e2e/phone.mjs (playwright-core from
// web/node_modules, installed by `npm ci --prefix web`). Each call is one command to the driver
// and waits for its answer; a command the page could not carry out throws BrowserPhone::Failed
// with the driver's reason, except the waits, which say whether the thing came.

#include <sys/types.h>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace lumora::testing_support {

class BrowserPhone {
 public:
  struct Options {
    // A .y4m or .mjpeg file Chromium's fake camera plays to the page; no camera when empty.
    std::string camera{};
    // Where screenshot() puts its pictures (created when missing); a private folder when empty.
    std::string screenshots{};
  };
  struct Failed : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  // Starts the browser; throws std::runtime_error (with the driver's log) when it does not start.
  explicit BrowserPhone(Options options);
  BrowserPhone() : BrowserPhone(Options{}) {}
  ~BrowserPhone();
  BrowserPhone(const BrowserPhone&) = delete;
  BrowserPhone& operator=(const BrowserPhone&) = delete;

  void goTo(const std::string& url);
  // A finger's tap on the element, or at a point of the page (CSS pixels).
  void tap(const std::string& selector);
  void tapAt(double x, double y);
  // Fingers that touch down at the first point of their path, move along it and lift together.
  using Path = std::vector<std::pair<double, double>>;
  void drag(const std::vector<Path>& fingers);
  void fill(const std::string& selector, const std::string& text);
  // Key by key into `selector`, or into whatever has the focus when empty.
  void type(const std::string& text, const std::string& selector = {});
  boost::json::value eval(const std::string& expression);
  std::string text(const std::string& selector);
  std::string attribute(const std::string& selector, const std::string& name);

  // Whether `selector` reached `state` (visible, hidden, attached, detached) within `limit`.
  bool waitFor(const std::string& selector, const std::string& state = "visible",
               std::chrono::milliseconds limit = std::chrono::seconds(15));
  // Whether the page's `expression` became truthy within `limit`.
  bool waitUntil(const std::string& expression,
                 std::chrono::milliseconds limit = std::chrono::seconds(15));
  // Why the last wait that gave up did.
  const std::string& lastWaitError() const { return lastWaitError_; }
  // The same waits for a step nothing can follow without: Failed, with the reason, when the
  // thing does not come.
  void require(const std::string& selector, const std::string& state = "visible",
               std::chrono::milliseconds limit = std::chrono::seconds(15));
  void requireTrue(const std::string& expression,
                   std::chrono::milliseconds limit = std::chrono::seconds(15));

  // What the phone's file chooser hands the <input type=file> at `selector`.
  void setFiles(const std::string& selector, const std::vector<std::string>& paths);
  // Taps `selector`, saves the download it starts to `to`; the name the page suggested.
  std::string download(const std::string& selector, const std::string& to);

  // The whole page as <screenshots>/<name>.png; the file's path.
  std::string screenshot(const std::string& name);

  // What the screen canvas shows at points of the remote picture, given in fractions of the
  // picture's width and height: {"width", "height" (the picture's size, as decoded), "pixels":
  // [[r, g, b], …]}. The picture is where the page shows it before any zoom: fitted whole into
  // the canvas and centred.
  boost::json::value canvasPixels(const Path& fractions);
  // The page's point (CSS pixels) over the point (fx, fy) of the picture; none before the first
  // picture.
  std::optional<std::pair<double, double>> pageAtPicture(double fx, double fy);

  // The driver's and the page's log (console, errors, sockets).
  std::string log() const;

  // Sends one command; the answer's value, or Failed with the driver's reason.
  boost::json::value ask(boost::json::object command,
                         std::chrono::milliseconds limit = std::chrono::seconds(60));

 private:
  // A wait's command; Failed when it gives up.
  void wait(boost::json::object command, std::chrono::milliseconds limit);
  // Whether the wait came, keeping why when it did not.
  bool came(boost::json::object command, std::chrono::milliseconds limit);

  TempDir folder_;
  std::string screenshots_;
  pid_t pid_ = -1;
  int channel_ = -1;
  std::string lastWaitError_;
};

}  // namespace lumora::testing_support
