#pragma once

#include <boost/asio/any_io_executor.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "account/metrics.h"
#include "account/relay_rooms.h"

namespace lumora::account {

class AccountApi;
struct ServerState;

// The service's one listening socket: HTTP/1.1 with keep-alive for the JSON routes, and
// WebSocket upgrades at /relay/{room} for the relay; both over TLS when given a certificate.
// Every request is logged as one line. Bounds: request headers, bodies (413), idle
// connections, connections per client address, relay messages and queues.
//
// Threads: construct, start and stop from one thread; connections run on the io executor
// given, each on a strand of its own.
class AccountServer {
 public:
  struct Options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
    std::string tlsCertificateFile;  // PEM chain; with the key below, the server speaks TLS
    std::string tlsKeyFile;
    std::size_t maxBodyBytes = 64 * 1024;
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(30);
    // Open connections (HTTP and relay alike) one client address may hold; more are closed as
    // soon as they are accepted. 0: no bound.
    std::size_t maxConnectionsPerAddress = 256;
    RelayLimits relay;
    // Load balancers in front (their IP addresses): a connection from one carries many
    // clients, so it is not held to the per-address bound, and the client a request is from
    // (for the sign-in limit and the log) is the last address its X-Forwarded-For names.
    std::vector<std::string> trustedProxies;
  };

  AccountServer(boost::asio::any_io_executor executor, Options options,
                std::shared_ptr<ServiceMetrics> metrics = std::make_shared<ServiceMetrics>());
  ~AccountServer();

  // Binds the address and returns the bound port (url() is known from here on). Throws
  // boost::system::system_error when the address cannot be bound, std::runtime_error for an
  // unusable certificate or key.
  std::uint16_t bind();
  // Starts accepting, answering with `api`.
  void serve(std::shared_ptr<AccountApi> api);
  // Stops accepting and drops every open connection.
  void stop();
  // Stops accepting, answers GET /healthz with 503 on the connections still open (and closes
  // each after its next answer) and closes every relay room with 1012 (service restart);
  // requests being answered finish. drained() tells when no room and no request is left.
  void drain();
  bool draining() const;
  bool drained() const;

  // "http://host:port" or "https://…" once started.
  std::string url() const;
  std::size_t relayRoomCount() const;

 private:
  std::shared_ptr<ServerState> state_;
};

}  // namespace lumora::account
