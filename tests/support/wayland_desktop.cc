#include "support/wayland_desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/spawn.h"
#include "support/temp_dir.h"

#ifndef LUMORA_PORTAL_BACKEND_DIR
#error "LUMORA_PORTAL_BACKEND_DIR names tests/support/portal_backend"
#endif

namespace lumora::testing_support {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUser = "lumora-test";
constexpr const char* kDesktopName = "lumora-test";
constexpr const char* kBackendBusName = "org.freedesktop.impl.portal.desktop.lumoratest";

std::string swayConfig() {
  return "xwayland disable\n"
         "output HEADLESS-1 resolution " +
         std::to_string(WaylandDesktop::kWidth) + "x" + std::to_string(WaylandDesktop::kHeight) +
         " position 0 0\n"
         "default_border none\n"
         "focus_follows_mouse no\n";
}

// What the frontend reads to find the backend: only this file is in its folder.
std::string portalFile(bool remoteDesktop) {
  return std::string("[portal]\nDBusName=") + kBackendBusName +
         "\nInterfaces=org.freedesktop.impl.portal.ScreenCast;" +
         (remoteDesktop ? "org.freedesktop.impl.portal.RemoteDesktop;" : "") +
         "\nUseIn=" + kDesktopName + "\n";
}

// The desktop's user: found, or created (concurrent tests may race to create it).
std::pair<uid_t, gid_t> desktopUser() {
  if (const passwd* user = ::getpwnam(kUser)) return {user->pw_uid, user->pw_gid};
  runProgram({"useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent", "--shell",
              "/usr/sbin/nologin", kUser});
  if (const passwd* user = ::getpwnam(kUser)) return {user->pw_uid, user->pw_gid};
  throw std::runtime_error(std::string("sway refuses root and there is no user \"") + kUser +
                           "\" to run it as (useradd failed)");
}

// `picture` stretched (nearest sample) to width × height, as a stand-in for what swaybg draws.
DecodedImage stretched(const DecodedImage& picture, int width, int height) {
  DecodedImage out;
  out.width = width;
  out.height = height;
  out.rgb.resize(static_cast<std::size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Rgb c = picture.at(x * picture.width / width, y * picture.height / height);
      auto* p = &out.rgb[(static_cast<std::size_t>(y) * width + x) * 3];
      p[0] = c.r;
      p[1] = c.g;
      p[2] = c.b;
    }
  }
  return out;
}

}  // namespace

WaylandDesktop::WaylandDesktop(WaylandDesktopOptions options) {
  try {
    startSway();
    startPortal(options);
  } catch (...) {
    stop();
    throw;
  }
}

WaylandDesktop::~WaylandDesktop() { stop(); }

void WaylandDesktop::stop() {
  applied_.clear();
  endProcess(frontend_.pid);
  // The backend ends its sessions (and the grim captures it runs) when its input closes.
  if (backendChannel_ >= 0) {
    ::close(backendChannel_);
    backendChannel_ = -1;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!reapIfEnded(backend_.pid) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  endProcess(backend_.pid);
  endProcess(permissionStore_.pid);
  for (auto& background : backgrounds_) endProcess(background.pid);
  backgrounds_.clear();
  for (auto& client : clients_) endProcess(client.pid);
  clients_.clear();
  endProcess(sway_.pid);
  if (!swayDir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(swayDir_, ignored);
    swayDir_.clear();
  }
}

std::vector<std::string> WaylandDesktop::asSwayUser(std::vector<std::string> argv) const {
  if (!uid_) return endingWithThisThread(std::move(argv));
  argv.insert(argv.begin(), {"setpriv", "--pdeathsig", "KILL", "--reuid", std::to_string(*uid_),
                             "--regid", std::to_string(gid_), "--clear-groups", "--"});
  return argv;
}

std::vector<std::string> WaylandDesktop::swayEnvironment() const {
  const char* path = std::getenv("PATH");
  std::vector<std::string> entries{
      "HOME=" + swayDir_.string(),
      "XDG_RUNTIME_DIR=" + swayDir_.string(),
      std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin"),
      "WLR_BACKENDS=headless",
      "WLR_RENDERER=pixman",
      "WLR_LIBINPUT_NO_DEVICES=1",
      "WLR_HEADLESS_OUTPUTS=1"};
  if (!waylandSocket_.empty()) entries.push_back("WAYLAND_DISPLAY=" + waylandSocket_.string());
  return entries;
}

void WaylandDesktop::startSway() {
  if (::geteuid() == 0) {
    const auto [uid, gid] = desktopUser();
    uid_ = uid;
    gid_ = gid;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "lumora-sway-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  swayDir_ = pattern;
  const std::string config = (swayDir_ / "config").string();
  std::ofstream(config) << swayConfig();
  if (uid_ &&
      (::chown(swayDir_.c_str(), *uid_, gid_) != 0 || ::chown(config.c_str(), *uid_, gid_) != 0)) {
    throw std::runtime_error("cannot hand the sway folder to " + std::string(kUser));
  }
  sway_.log = (swayDir_ / "sway.log").string();
  sway_.pid =
      spawnProcess(asSwayUser({"sway", "--config", config}),
                   {.environment = swayEnvironment(), .output = sway_.log, .error = sway_.log});
  // Its socket may be wayland-1 (or another number): the first wayland-N that appears.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    for (const auto& entry : std::filesystem::directory_iterator(swayDir_)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos &&
          entry.is_socket()) {
        waylandSocket_ = entry.path();
      }
    }
    if (!waylandSocket_.empty()) break;
    if (reapIfEnded(sway_.pid) || Clock::now() > deadline) {
      throw std::runtime_error("sway did not come up: " + logTail(sway_.log));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void WaylandDesktop::startPortal(const WaylandDesktopOptions& options) {
  const auto& folder = pipeWire_.folder();
  callLog_ = folder / "backend-calls.jsonl";
  std::ofstream(callLog_).flush();

  // The backend, with a socket as its standard input and output for its commands.
  backend_.log = (folder / "backend.log").string();
  std::vector<std::string> argv{"/usr/bin/python3",
                                "-B",
                                LUMORA_PORTAL_BACKEND_DIR "/backend.py",
                                "--bus-name",
                                kBackendBusName,
                                "--log",
                                callLog_.string(),
                                "--wayland-display",
                                waylandSocket_.string(),
                                "--width",
                                std::to_string(kWidth),
                                "--height",
                                std::to_string(kHeight)};
  if (options.consent == WaylandDesktopOptions::Consent::refuse) {
    argv.insert(argv.end(), {"--consent", "refuse"});
  }
  if (!options.remoteDesktop) argv.push_back("--no-remote-desktop");
  const auto started = spawnWithChannel(
      endingWithThisThread(argv), {.environment = pipeWire_.environment(), .error = backend_.log});
  backend_.pid = started.pid;
  backendChannel_ = started.channel;

  // The permission store meanwhile (restore tokens are kept there).
  permissionStore_.log = (folder / "permission-store.log").string();
  permissionStore_.pid =
      spawnProcess(endingWithThisThread({"/usr/libexec/xdg-permission-store", "--replace"}),
                   {.environment = pipeWire_.environment(),
                    .output = permissionStore_.log,
                    .error = permissionStore_.log});

  if (readLine(backendChannel_, std::chrono::seconds(15)) != "ready") {
    throw std::runtime_error("the portal backend (backend.py) did not come up: " +
                             logTail(backend_.log));
  }
  pipeWire_.bus().waitForName("org.freedesktop.impl.portal.PermissionStore", permissionStore_.pid,
                              permissionStore_.log, "xdg-permission-store");

  // The frontend reads the backends at its start: only now, with the backend on the bus.
  const auto portals = folder / "portals";
  std::filesystem::create_directories(portals);
  std::ofstream(portals / "lumora-test.portal") << portalFile(options.remoteDesktop);
  std::vector<std::string> environment = pipeWire_.environment();
  environment.push_back("XDG_DESKTOP_PORTAL_DIR=" + portals.string());
  environment.push_back(std::string("XDG_CURRENT_DESKTOP=") + kDesktopName);
  environment.push_back("WAYLAND_DISPLAY=" + waylandSocket_.string());
  frontend_.log = (folder / "xdg-desktop-portal.log").string();
  frontend_.pid =
      spawnProcess(endingWithThisThread({"/usr/libexec/xdg-desktop-portal", "--replace"}),
                   {.environment = environment, .output = frontend_.log, .error = frontend_.log});
  pipeWire_.bus().waitForName("org.freedesktop.portal.Desktop", frontend_.pid, frontend_.log,
                              "xdg-desktop-portal");
}

std::vector<std::string> WaylandDesktop::environment() const {
  std::vector<std::string> entries = pipeWire_.environment();
  entries.push_back("WAYLAND_DISPLAY=" + waylandSocket_.string());
  entries.push_back(std::string("XDG_CURRENT_DESKTOP=") + kDesktopName);
  entries.push_back("XDG_SESSION_TYPE=wayland");
  return entries;
}

void WaylandDesktop::applyToThisProcess() {
  for (const auto& entry : environment()) {
    const auto equals = entry.find('=');
    const std::string name = entry.substr(0, equals);
    if (name == "PATH") continue;
    applied_.emplace_back(name, entry.substr(equals + 1));
  }
  applied_.emplace_back("DISPLAY", std::nullopt);
}

DecodedImage WaylandDesktop::capture() const {
  std::vector<std::string> environment = pipeWire_.environment();
  environment.push_back("WAYLAND_DISPLAY=" + waylandSocket_.string());
  const ProgramRun shot = runProgram({"grim", "-t", "ppm", "-"}, {.environment = environment});
  auto image = TestDecoder(TestDecoder::Format::ppm).decode(protocol::bytesOf(shot.output));
  if (shot.exitCode != 0 || !image) {
    throw std::runtime_error("grim could not capture the output (exit " +
                             std::to_string(shot.exitCode) + ")");
  }
  return *image;
}

void WaylandDesktop::run(const std::vector<std::string>& argv) {
  Child client;
  client.log = (swayDir_ / ("client-" + std::to_string(clients_.size()) + ".log")).string();
  client.pid =
      spawnProcess(asSwayUser(argv),
                   {.environment = swayEnvironment(), .output = client.log, .error = client.log});
  clients_.push_back(client);
}

void WaylandDesktop::show(const std::filesystem::path& png) {
  const std::string bytes = contentOf(png.string());
  TestDecoder decoder(TestDecoder::Format::png);
  const auto picture = decoder.decode(
      protocol::ByteView(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  if (!picture) throw std::runtime_error("not a PNG picture: " + png.string());
  const DecodedImage expected = stretched(*picture, kWidth, kHeight);

  // A copy the desktop's user can read.
  const auto copy = swayDir_ / ("picture-" + std::to_string(++pictures_) + ".png");
  std::filesystem::copy_file(png, copy, std::filesystem::copy_options::overwrite_existing);
  if (uid_ && ::chown(copy.c_str(), *uid_, gid_) != 0) {
    throw std::runtime_error("cannot hand " + copy.string() + " to " + kUser);
  }
  Child background;
  background.log = (swayDir_ / ("swaybg-" + std::to_string(pictures_) + ".log")).string();
  background.pid = spawnProcess(
      asSwayUser({"swaybg", "--output", "*", "--image", copy.string(), "--mode", "stretch"}),
      {.environment = swayEnvironment(), .output = background.log, .error = background.log});
  backgrounds_.push_back(background);
  // A newer background surface goes under the older ones: they go once it had time to map,
  // so that the output does not show sway's bare background in between.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  while (backgrounds_.size() > 1) {
    endProcess(backgrounds_.front().pid);
    backgrounds_.pop_front();
  }

  // Shown once the capture matches the picture as swaybg stretches it (filtered at the edges
  // of a small picture, hence a tolerance).
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    const DecodedImage seen = capture();
    if (seen.width == kWidth && seen.height == kHeight && meanDifference(seen, expected) < 6.0) {
      return;
    }
    if (reapIfEnded(backgrounds_.back().pid) || Clock::now() > deadline) {
      throw std::runtime_error("the output does not show " + png.string() + ": " +
                               logTail(backgrounds_.back().log));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<boost::json::object> WaylandDesktop::backendCalls() const {
  std::vector<boost::json::object> calls;
  std::ifstream in(callLog_);
  std::string line;
  while (std::getline(in, line)) {
    boost::system::error_code error;
    auto value = boost::json::parse(line, error);
    if (!error && value.is_object()) calls.push_back(std::move(value.as_object()));
  }
  return calls;
}

std::vector<boost::json::object> WaylandDesktop::backendCalls(const std::string& method) const {
  auto calls = backendCalls();
  std::erase_if(calls, [&](const boost::json::object& call) {
    const auto* name = call.if_contains("method");
    return name == nullptr || !name->is_string() || name->as_string() != method;
  });
  return calls;
}

int WaylandDesktop::closeSessions() {
  static constexpr char kCommand[] = "close-sessions\n";
  if (::send(backendChannel_, kCommand, sizeof kCommand - 1, MSG_NOSIGNAL) !=
      static_cast<ssize_t>(sizeof kCommand - 1)) {
    throw std::runtime_error("the portal backend is gone: " + logTail(backend_.log));
  }
  const auto reply = readLine(backendChannel_, std::chrono::seconds(10));
  if (!reply || reply->rfind("closed ", 0) != 0) {
    throw std::runtime_error("the portal backend did not close its sessions: " +
                             logTail(backend_.log));
  }
  return std::stoi(reply->substr(7));
}

}  // namespace lumora::testing_support
