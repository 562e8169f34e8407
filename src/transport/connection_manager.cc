#include "transport/connection_manager.h"

#include "core/run_on.h"

namespace lumora::transport {

std::string_view rawValue(ConnectionMode mode) {
  switch (mode) {
    case ConnectionMode::tailscale:
      return "tailscale";
    case ConnectionMode::headscale:
      return "headscale";
    case ConnectionMode::relay:
      return "relay";
  }
  return {};
}

ConnectionManager::ConnectionManager(std::shared_ptr<ControlServer> server,
                                     MediaListener* mediaServer, ConnectionMode mode,
                                     boost::asio::any_io_executor blockingExecutor,
                                     AddressLookup tailnetAddress)
    : server_(std::move(server)),
      mediaServer_(mediaServer),
      mode_(mode),
      blockingExecutor_(std::move(blockingExecutor)),
      tailnetAddress_(std::move(tailnetAddress)) {}

boost::asio::awaitable<ConnectionInfo> ConnectionManager::start(std::uint16_t port,
                                                                std::uint16_t mediaPort) {
  std::optional<std::string> address;
  if (mode_ == ConnectionMode::tailscale) {
    auto lookup = tailnetAddress_;
    address = co_await core::runOn(blockingExecutor_, std::move(lookup));
  } else {
    log_.info(std::string(rawValue(mode_)) + " mode not yet implemented — binding loopback only");
  }
  if (address) {
    log_.info("binding tailnet only, advertising " + *address);
  } else {
    address = "127.0.0.1";
    const std::string line =
        "tailnet address not found — binding loopback only (remote access unavailable until "
        "tailscale is up)";
    log_.info(line);
  }

  ConnectionInfo info;
  info.mode = mode_;
  info.advertiseAddress = address;
  const std::vector<std::string> hosts{*address};
  info.port = co_await server_->start(port, hosts);
  if (mediaServer_ != nullptr) info.mediaPort = co_await mediaServer_->start(mediaPort, hosts);
  co_return info;
}

void ConnectionManager::stop() {
  server_->stop();
  if (mediaServer_ != nullptr) mediaServer_->stop();
}

}  // namespace lumora::transport
