#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/agent_log.h"
#include "transport/control_server.h"
#include "transport/media_listener.h"

namespace lumora::transport {

enum class ConnectionMode { tailscale, headscale, relay };
std::string_view rawValue(ConnectionMode mode);

struct ConnectionInfo {
  ConnectionMode mode = ConnectionMode::tailscale;
  std::optional<std::string> advertiseAddress;
  std::uint16_t port = 0;
  std::optional<std::uint16_t> mediaPort;
  bool operator==(const ConnectionInfo&) const = default;
};

// Decides where the agent listens: on this machine's tailnet address only, or on loopback when
// there is none (never on every interface), and starts the control and media servers there.
//
// Threads: start and stop from the runtime's coroutine; the tailnet lookup runs on the given
// blocking executor so the network thread is not held while the tool runs.
class ConnectionManager {
 public:
  using AddressLookup = std::function<std::optional<std::string>()>;

  ConnectionManager(std::shared_ptr<ControlServer> server, MediaListener* mediaServer,
                    ConnectionMode mode, boost::asio::any_io_executor blockingExecutor,
                    AddressLookup tailnetAddress);

  // Throws what the servers throw (a port in use, an address not assignable).
  boost::asio::awaitable<ConnectionInfo> start(std::uint16_t port, std::uint16_t mediaPort);
  // The control server, then the media server.
  void stop();

  ControlServer& controlServer() { return *server_; }

 private:
  std::shared_ptr<ControlServer> server_;
  MediaListener* mediaServer_;
  ConnectionMode mode_;
  boost::asio::any_io_executor blockingExecutor_;
  AddressLookup tailnetAddress_;
  core::AgentLog log_{"connection"};
};

}  // namespace lumora::transport
