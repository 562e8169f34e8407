#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/agent_config.h"
#include "core/agent_log.h"
#include "platform/input_injector.h"
#include "runtime/desktop_backend.h"
#include "services/screen/encoder_settings.h"

namespace lumora::transport {
class RelayConnector;
}

namespace lumora::runtime {

class AgentRuntimeError : public std::runtime_error {
 public:
  enum Code { alreadyRunning, invalidPort };
  static AgentRuntimeError make(Code code);
  Code code() const { return code_; }

 private:
  AgentRuntimeError(Code code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  Code code_;
};

// How peers reach a running agent.
struct AgentServingInfo {
  std::string controlAddress;
  std::uint16_t controlPort = 0;
  std::optional<std::uint16_t> mediaPort;
  std::string mode;
  std::string pairingCode;
  // The room fingerprint of the pairing secret's room key: what the account service and the
  // relay know this agent by.
  std::string pairingFingerprint;
  std::optional<std::string> pairingLink;
  std::optional<std::string> relayURL;
  // With a relay: the page of the account service that pairs a phone's browser with this agent.
  std::optional<std::string> webPairingLink;
  bool operator==(const AgentServingInfo&) const = default;
};

struct AssembledAgent;

// Loads the pairing secret, assembles and starts every service, binds the servers where the
// connection manager decides, and reports how to reach the agent; stop() undoes all of it.
//
// Threads: start and stop are awaited from the network executor, one at a time. Services run
// on strands over `workExecutor`; sockets and terminals on `networkExecutor`.
class AgentRuntime {
 public:
  struct Options {
    core::AgentConfig config;
    // The relay service's origin (ws://, wss://, or the account service's http:// or https://):
    // when set, the agent also serves in the relay rooms named after its room key (the key its
    // pairing secret gives), through the protected relay.
    std::optional<std::string> relayBase;
    bool resetPairing = false;
    // Which display server to serve, and for X11 which display ($DISPLAY when absent).
    DesktopBackend desktopBackend = DesktopBackend::automatic;
    std::optional<std::string> displayName;
    // How the screen stream is compressed: 30 fps, a key frame every 2 s, bit rate from the
    // picture size, peak twice the average.
    services::screen::EncoderSettings encoder;
    // What the phone's Command key presses.
    platform::CommandKey commandKey = platform::CommandKey::control;
  };

  AgentRuntime(Options options, boost::asio::any_io_executor networkExecutor,
               boost::asio::any_io_executor workExecutor);
  ~AgentRuntime();

  bool isRunning() const { return started_; }
  // Throws AgentRuntimeError::alreadyRunning, the pairing store's and the servers' errors.
  boost::asio::awaitable<AgentServingInfo> start();
  boost::asio::awaitable<void> stop();

 private:
  Options options_;
  boost::asio::any_io_executor networkExecutor_;
  boost::asio::any_io_executor workExecutor_;
  core::AgentLog log_{"runtime"};
  std::unique_ptr<AssembledAgent> assembled_;
  std::unique_ptr<transport::RelayConnector> relayConnector_;
  bool started_ = false;
};

}  // namespace lumora::runtime
