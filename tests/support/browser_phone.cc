#include "support/browser_phone.h"

#include <sys/socket.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value_from.hpp>

#include <cerrno>
#include <filesystem>

#include "support/spawn.h"

namespace lumora::testing_support {

namespace json = boost::json;

namespace {

json::array pointList(const BrowserPhone::Path& path) {
  json::array points;
  for (const auto& [x, y] : path) points.push_back(json::array{x, y});
  return points;
}

}  // namespace

BrowserPhone::BrowserPhone(Options options)
    : screenshots_(options.screenshots.empty() ? folder_ / "screenshots" : options.screenshots) {
  std::filesystem::create_directories(screenshots_);
  std::vector<std::string> argv = {"node", LUMORA_WEB_PHONE_DRIVER};
  if (!options.camera.empty()) argv.insert(argv.end(), {"--camera", options.camera});
  const auto started = spawnWithChannel(argv, {.error = folder_ / "phone.log"});
  pid_ = started.pid;
  channel_ = started.channel;
  // Launching Chromium takes a second or three on this machine; the limit is for a hang.
  const auto ready = readLine(channel_, std::chrono::seconds(60));
  if (!ready || ready->find("\"ready\"") == std::string::npos) {
    const std::string why = "the browser did not start: " + logTail(folder_ / "phone.log");
    ::close(channel_);
    endProcess(pid_);
    throw std::runtime_error(why);
  }
}

BrowserPhone::~BrowserPhone() {
  // The end of its input closes the browser; a driver that is stuck is ended.
  ::close(channel_);
  endProcess(pid_, std::chrono::seconds(10));
}

json::value BrowserPhone::ask(json::object command, std::chrono::milliseconds limit) {
  const std::string line = json::serialize(command) + "\n";
  for (std::size_t sent = 0; sent < line.size();) {
    const ssize_t n = ::send(channel_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the browser driver is gone: " + log());
    sent += static_cast<std::size_t>(n);
  }
  const auto answerLine = readLine(channel_, limit);
  if (!answerLine) {
    throw std::runtime_error("no answer to " + json::serialize(command) + ": " +
                             logTail(folder_ / "phone.log"));
  }
  boost::system::error_code ec;
  json::value answer = json::parse(*answerLine, ec);
  if (ec || !answer.is_object()) throw std::runtime_error("not an answer: " + *answerLine);
  const json::object& fields = answer.as_object();
  const json::value* ok = fields.if_contains("ok");
  if (!ok || !ok->is_bool() || !ok->as_bool()) {
    const json::value* error = fields.if_contains("error");
    throw Failed(std::string(command.at("op").as_string()) + ": " +
                 (error && error->is_string() ? std::string(error->as_string()) : *answerLine));
  }
  const json::value* value = fields.if_contains("value");
  return value ? *value : json::value();
}

void BrowserPhone::goTo(const std::string& url) { ask({{"op", "goto"}, {"url", url}}); }

void BrowserPhone::tap(const std::string& selector) {
  ask({{"op", "tap"}, {"selector", selector}});
}

void BrowserPhone::tapAt(double x, double y) { ask({{"op", "tapAt"}, {"x", x}, {"y", y}}); }

void BrowserPhone::drag(const std::vector<Path>& fingers) {
  json::array paths;
  for (const Path& path : fingers) paths.push_back(pointList(path));
  ask({{"op", "drag"}, {"paths", std::move(paths)}});
}

void BrowserPhone::fill(const std::string& selector, const std::string& text) {
  ask({{"op", "fill"}, {"selector", selector}, {"text", text}});
}

void BrowserPhone::type(const std::string& text, const std::string& selector) {
  json::object command{{"op", "type"}, {"text", text}};
  if (!selector.empty()) command["selector"] = selector;
  ask(std::move(command));
}

json::value BrowserPhone::eval(const std::string& expression) {
  return ask({{"op", "eval"}, {"expr", expression}});
}

std::string BrowserPhone::text(const std::string& selector) {
  const json::value value = eval("document.querySelector(" +
                                 json::serialize(json::value(selector)) + ")?.textContent ?? null");
  return value.is_string() ? std::string(value.as_string()) : std::string();
}

std::string BrowserPhone::attribute(const std::string& selector, const std::string& name) {
  const json::value value =
      eval("document.querySelector(" + json::serialize(json::value(selector)) + ")?.getAttribute(" +
           json::serialize(json::value(name)) + ") ?? null");
  return value.is_string() ? std::string(value.as_string()) : std::string();
}

void BrowserPhone::wait(json::object command, std::chrono::milliseconds limit) {
  // The driver's reason alone does not say what was awaited.
  const std::string awaited = json::serialize(command);
  command["op"] = "waitFor";
  command["timeout"] = limit.count();
  try {
    ask(std::move(command), limit + std::chrono::seconds(30));
  } catch (const Failed& e) {
    throw Failed(awaited + ": " + e.what());
  }
}

void BrowserPhone::require(const std::string& selector, const std::string& state,
                           std::chrono::milliseconds limit) {
  wait({{"selector", selector}, {"state", state}}, limit);
}

void BrowserPhone::requireTrue(const std::string& expression, std::chrono::milliseconds limit) {
  wait({{"expr", expression}}, limit);
}

bool BrowserPhone::came(json::object command, std::chrono::milliseconds limit) {
  try {
    wait(std::move(command), limit);
    return true;
  } catch (const Failed& e) {
    lastWaitError_ = e.what();
    return false;
  }
}

bool BrowserPhone::waitFor(const std::string& selector, const std::string& state,
                           std::chrono::milliseconds limit) {
  return came({{"selector", selector}, {"state", state}}, limit);
}

bool BrowserPhone::waitUntil(const std::string& expression, std::chrono::milliseconds limit) {
  return came({{"expr", expression}}, limit);
}

void BrowserPhone::setFiles(const std::string& selector, const std::vector<std::string>& paths) {
  ask({{"op", "setFiles"}, {"selector", selector}, {"files", json::value_from(paths)}});
}

std::string BrowserPhone::download(const std::string& selector, const std::string& to) {
  const json::value got = ask({{"op", "download"}, {"selector", selector}, {"to", to}});
  return std::string(got.at("name").as_string());
}

std::string BrowserPhone::screenshot(const std::string& name) {
  const std::string path = (std::filesystem::path(screenshots_) / (name + ".png")).string();
  ask({{"op", "screenshot"}, {"path", path}});
  return path;
}

json::value BrowserPhone::canvasPixels(const Path& fractions) {
  return ask({{"op", "canvasPixels"}, {"points", pointList(fractions)}});
}

std::optional<std::pair<double, double>> BrowserPhone::pageAtPicture(double fx, double fy) {
  const json::value rect = ask({{"op", "pictureRect"}});
  if (!rect.is_object()) return std::nullopt;
  const json::object& r = rect.as_object();
  return std::pair{r.at("left").to_number<double>() + fx * r.at("width").to_number<double>(),
                   r.at("top").to_number<double>() + fy * r.at("height").to_number<double>()};
}

std::string BrowserPhone::log() const { return contentOf(folder_ / "phone.log"); }

}  // namespace lumora::testing_support
