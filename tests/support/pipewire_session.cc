#include "support/pipewire_session.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "support/spawn.h"

#ifndef LUMORA_PORTAL_BACKEND_DIR
#error "LUMORA_PORTAL_BACKEND_DIR names tests/support/portal_backend"
#endif

namespace lumora::testing_support {
namespace {

using Clock = std::chrono::steady_clock;

// The id of the node named `name` in a pw-dump listing.
std::optional<std::uint32_t> nodeNamed(const std::string& dump, const std::string& name) {
  boost::system::error_code error;
  const boost::json::value objects = boost::json::parse(dump, error);
  if (error || !objects.is_array()) return std::nullopt;
  for (const auto& object : objects.as_array()) {
    try {  // anything but a node with a name throws on the way
      const auto& o = object.as_object();
      if (o.at("type").as_string() == "PipeWire:Interface:Node" &&
          o.at("info").as_object().at("props").as_object().at("node.name").as_string() == name) {
        return static_cast<std::uint32_t>(o.at("id").to_number<std::int64_t>());
      }
    } catch (const std::exception&) {
    }
  }
  return std::nullopt;
}

bool hasWirePlumber(const std::string& dump) {
  // Its second connection, which it opens once its modules are loaded.
  return dump.find("\"application.name\": \"WirePlumber [export]\"") != std::string::npos;
}

}  // namespace

PipeWireSession::PipeWireSession() {
  const auto& home = folder_.path();
  for (const char* folder : {"run", "config", "state", "data", "cache"}) {
    std::filesystem::create_directories(home / folder);
  }
  runtimeDir_ = home / "run";
  std::filesystem::permissions(runtimeDir_, std::filesystem::perms::owner_all);

  try {
    bus_.emplace(home);

    const std::string log = folder_ / "pipewire.log";
    pipewire_ = spawnProcess(endingWithThisThread({"pipewire"}),
                             {.environment = environment(), .output = log, .error = log});
    // WirePlumber gives up at once when the daemon does not answer yet: it starts once the
    // daemon takes connections.
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    for (;;) {
      if (reapIfEnded(pipewire_))
        throw std::runtime_error("pipewire did not come up: " + logTail(log));
      try {
        ::close(connect());
        break;
      } catch (const std::runtime_error& error) {
        if (Clock::now() > deadline) {
          throw std::runtime_error(std::string("pipewire did not come up: ") + error.what() + ": " +
                                   logTail(log));
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::string wireplumberLog = folder_ / "wireplumber.log";
    wireplumber_ = spawnProcess(
        endingWithThisThread({"wireplumber"}),
        {.environment = environment(), .output = wireplumberLog, .error = wireplumberLog});

    // Ready once the session manager has its modules loaded (without it nothing links a
    // consumer to a node).
    for (;;) {
      if (reapIfEnded(pipewire_)) throw std::runtime_error("pipewire ended: " + logTail(log));
      if (reapIfEnded(wireplumber_)) {
        throw std::runtime_error("wireplumber did not come up: " + logTail(wireplumberLog));
      }
      if (hasWirePlumber(pipeWireDump())) break;
      if (Clock::now() > deadline) {
        throw std::runtime_error("wireplumber did not come up: " + logTail(wireplumberLog));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  } catch (...) {
    stop();
    throw;
  }
}

PipeWireSession::~PipeWireSession() { stop(); }

void PipeWireSession::stop() {
  for (auto& [node, producer] : producers_) stopProducer(producer);
  producers_.clear();
  endProcess(wireplumber_);
  endProcess(pipewire_);
  if (bus_) bus_->stop();
}

void PipeWireSession::stopProducer(Producer& producer) {
  if (producer.channel >= 0) ::close(producer.channel);
  producer.channel = -1;
  endProcess(producer.pid);
}

std::vector<std::string> PipeWireSession::environment() const {
  const auto& home = folder_.path();
  const char* path = std::getenv("PATH");
  return {"HOME=" + home.string(),
          "XDG_RUNTIME_DIR=" + runtimeDir_.string(),
          "PIPEWIRE_RUNTIME_DIR=" + runtimeDir_.string(),
          "XDG_CONFIG_HOME=" + (home / "config").string(),
          "XDG_STATE_HOME=" + (home / "state").string(),
          "XDG_DATA_HOME=" + (home / "data").string(),
          "XDG_CACHE_HOME=" + (home / "cache").string(),
          "DBUS_SESSION_BUS_ADDRESS=" + bus_->address(),
          std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin")};
}

int PipeWireSession::connect() const {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (runtimeDir_ / "pipewire-0").string();
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const std::string why = std::strerror(errno);
    ::close(fd);
    throw std::runtime_error("cannot connect to " + socketPath + ": " + why);
  }
  return fd;
}

std::string PipeWireSession::pipeWireDump() const {
  try {
    return runProgram({"pw-dump", "--no-colors"}, {.environment = environment()}).output;
  } catch (const std::runtime_error&) {
    return {};
  }
}

std::optional<std::uint32_t> PipeWireSession::findNode(const std::string& name,
                                                       std::chrono::milliseconds limit) const {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    if (auto node = nodeNamed(pipeWireDump(), name)) return node;
    if (Clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::uint32_t PipeWireSession::startVideoSource(const std::filesystem::path& image, int width,
                                                int height) {
  const std::string name =
      "lumora-test-video-" + std::to_string(::getpid()) + "-" + std::to_string(++producerCount_);
  Producer producer;
  producer.log = folder_ / (name + ".log");
  const auto spawned = spawnWithChannel(
      endingWithThisThread({"/usr/bin/python3", "-B", LUMORA_PORTAL_BACKEND_DIR "/video_source.py",
                            "--node-name", name, "--width", std::to_string(width), "--height",
                            std::to_string(height), "--image", image.string()}),
      {.environment = environment(), .error = producer.log});
  producer.pid = spawned.pid;
  producer.channel = spawned.channel;

  const auto started = readLine(producer.channel, std::chrono::seconds(15));
  std::optional<std::uint32_t> node;
  if (started == "started") node = findNode(name);
  if (!node) {
    stopProducer(producer);
    throw std::runtime_error("the video source (video_source.py) did not come up: " +
                             logTail(producer.log));
  }
  producers_.emplace(*node, producer);
  return *node;
}

void PipeWireSession::showInVideoSource(std::uint32_t node, const std::filesystem::path& image) {
  auto found = producers_.find(node);
  if (found == producers_.end()) throw std::runtime_error("no video source of this session");
  Producer& producer = found->second;
  const std::string command = "show " + image.string() + "\n";
  if (::send(producer.channel, command.data(), command.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(command.size())) {
    throw std::runtime_error("the video source is gone: " + logTail(producer.log));
  }
  if (readLine(producer.channel, std::chrono::seconds(10)) != "shown " + image.string()) {
    throw std::runtime_error("the video source did not take " + image.string() + ": " +
                             logTail(producer.log));
  }
}

void PipeWireSession::stopVideoSource(std::uint32_t node) {
  auto found = producers_.find(node);
  if (found == producers_.end()) return;
  stopProducer(found->second);
  producers_.erase(found);
}

}  // namespace lumora::testing_support
