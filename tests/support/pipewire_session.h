#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/private_bus.h"
#include "support/temp_dir.h"

namespace lumora::testing_support {

// A private PipeWire for one test: its own XDG_RUNTIME_DIR (in a TempDir), a PrivateBus,
// pipewire and wireplumber on it, all children of this process (and killed with it:
// endingWithThisThread). Nothing of the user's own session is seen or touched: HOME and the XDG
// folders point into the TempDir too. Comes up in about 0.03 s.
class PipeWireSession {
 public:
  // Throws std::runtime_error naming the program that could not start, with its own words
  // (tests GTEST_SKIP with that text).
  PipeWireSession();
  // Stops and waits for every process it started.
  ~PipeWireSession();
  PipeWireSession(const PipeWireSession&) = delete;
  PipeWireSession& operator=(const PipeWireSession&) = delete;

  // The private bus (its address is DBUS_SESSION_BUS_ADDRESS in environment()).
  const PrivateBus& bus() const { return *bus_; }
  // The folder everything lives in; the daemons' logs are there (bus.log, pipewire.log, ...).
  const std::filesystem::path& folder() const { return folder_.path(); }

  // The whole environment of a program that uses this session, as NAME=value entries for
  // SpawnOptions.environment (or setenv): HOME and the XDG folders in the TempDir,
  // XDG_RUNTIME_DIR, PIPEWIRE_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS and PATH.
  std::vector<std::string> environment() const;

  // A new connected socket to the PipeWire daemon (what the portal's OpenPipeWireRemote hands
  // out, for pw_context_connect_fd); the caller owns it. Throws when it cannot connect.
  int connect() const;

  // Publishes a live BGRx video source node width×height (the PipeWire node a compositor's
  // screencast offers: media.class Video/Source, a driver) showing the PNG file `image` scaled
  // to that size, and returns its PipeWire node id once the node exists. Frames keep coming
  // (15 a second, whether or not the picture changed). The node lives until the session ends
  // or stopVideoSource. Throws with the producer's own words when it does not come up.
  // Like GStreamer's pipewiresink, the node's buffers are MemPtr with chunk stride 0 (rows are
  // width × 4 bytes apart); about 0.1 s to start, the first frame 0.05 s after a consumer links.
  std::uint32_t startVideoSource(const std::filesystem::path& image, int width = 1280,
                                 int height = 800);
  // Switches the picture of a node startVideoSource made; returns once the producer took it
  // (the frames after that show it).
  void showInVideoSource(std::uint32_t node, const std::filesystem::path& image);
  void stopVideoSource(std::uint32_t node);

  // The id of the node whose node.name is `name`, once it exists; none after `limit`.
  std::optional<std::uint32_t> findNode(
      const std::string& name, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

 private:
  struct Producer {
    pid_t pid = -1;
    int channel = -1;  // its standard input and output (a socket: no SIGPIPE here if it died)
    std::string log;
  };

  void stop();
  void stopProducer(Producer& producer);
  std::string pipeWireDump() const;

  TempDir folder_;
  std::filesystem::path runtimeDir_;
  std::optional<PrivateBus> bus_;
  pid_t pipewire_ = -1;
  pid_t wireplumber_ = -1;
  std::map<std::uint32_t, Producer> producers_;
  int producerCount_ = 0;
};

}  // namespace lumora::testing_support
