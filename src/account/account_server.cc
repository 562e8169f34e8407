#include "account/account_server.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "account/asio_names.h"
#include "account/http_session.h"
#include "account/server_state.h"

namespace lumora::account {

namespace {

std::string remoteOf(const tcp::socket& socket) {
  boost::system::error_code ec;
  auto endpoint = socket.remote_endpoint(ec);
  return ec ? std::string("unknown") : endpoint.address().to_string();
}

asio::awaitable<void> acceptLoop(std::shared_ptr<ServerState> state) {
  asio::steady_timer pause(state->acceptorStrand);
  for (;;) {
    // Each connection on a strand of its own.
    const asio::any_io_executor strand = asio::make_strand(state->executor);
    auto [ec, socket] = co_await state->acceptor->async_accept(strand, as_tuple(use_awaitable));
    if (ec) {
      if (ec == asio::error::operation_aborted || !state->acceptor->is_open()) break;
      // Out of descriptors or similar: give closing connections a moment instead of spinning.
      pause.expires_after(std::chrono::milliseconds(50));
      co_await pause.async_wait(as_tuple(use_awaitable));
      continue;
    }
    boost::system::error_code ignored;
    std::string remote = remoteOf(socket);
    auto admission = state->trusted(remote) ? state->proxyConnections.admit(remote)
                                            : state->connectionLimit->admit(remote);
    if (!admission.slot) {
      state->metrics->countLimit("connections_per_address");
      // Closed before anything is read or allocated for it.
      socket.close(ignored);
      if (admission.startsRefusing) {
        state->log.error(remote + " holds " + std::to_string(state->connectionLimit->perAddress()) +
                         " connections, the most one address may: closing its new ones until "
                         "some of those end");
      }
      continue;
    }
    socket.set_option(tcp::no_delay(true), ignored);
    startHttpSession(std::move(socket), state, std::move(remote), std::move(*admission.slot));
  }
}

}  // namespace

AccountServer::AccountServer(asio::any_io_executor executor, Options options,
                             std::shared_ptr<ServiceMetrics> metrics)
    : state_(std::make_shared<ServerState>()) {
  state_->metrics = std::move(metrics);
  state_->executor = std::move(executor);
  state_->options = std::move(options);
  state_->connectionLimit.emplace(state_->options.maxConnectionsPerAddress);
  state_->rooms = std::make_shared<RelayRooms>(state_->options.relay.maxRooms);
  // Read when scraped; the rooms may outlive the server in the connections still closing.
  std::weak_ptr<RelayRooms> rooms = state_->rooms;
  state_->metrics->registry.gauge("lumora_relay_rooms_open", "Relay rooms open now", [rooms] {
    auto held = rooms.lock();
    return held ? static_cast<double>(held->roomCount()) : 0.0;
  });
  std::weak_ptr<ServerState> weak = state_;
  state_->metrics->registry.gauge("lumora_draining", "1 once the instance is shutting down",
                                  [weak] {
                                    auto held = weak.lock();
                                    return held && held->draining ? 1.0 : 0.0;
                                  });
}

AccountServer::~AccountServer() { stop(); }

std::uint16_t AccountServer::bind() {
  const auto& options = state_->options;
  if (!options.tlsCertificateFile.empty() || !options.tlsKeyFile.empty()) {
    state_->tls.emplace(asio::ssl::context::tls_server);
    try {
      state_->tls->set_options(asio::ssl::context::default_workarounds |
                               asio::ssl::context::no_sslv2 | asio::ssl::context::no_sslv3 |
                               asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
      state_->tls->use_certificate_chain_file(options.tlsCertificateFile);
      state_->tls->use_private_key_file(options.tlsKeyFile, asio::ssl::context::pem);
    } catch (const boost::system::system_error& e) {
      throw std::runtime_error("cannot use the TLS certificate or key: " + std::string(e.what()));
    }
  }
  const auto address = asio::ip::make_address(options.host);
  tcp::endpoint endpoint(address, options.port);
  // The accept loop and stop() meet on one strand: the network runs on more than one thread.
  state_->acceptorStrand = asio::make_strand(state_->executor);
  state_->acceptor.emplace(state_->acceptorStrand);
  state_->acceptor->open(endpoint.protocol());
  state_->acceptor->set_option(tcp::acceptor::reuse_address(true));
  state_->acceptor->bind(endpoint);
  state_->acceptor->listen(asio::socket_base::max_listen_connections);
  const std::uint16_t port = state_->acceptor->local_endpoint().port();
  const std::string host = address.is_v6() ? "[" + options.host + "]" : options.host;
  state_->url = (state_->tls ? "https://" : "http://") + host + ":" + std::to_string(port);
  return port;
}

void AccountServer::serve(std::shared_ptr<AccountApi> api) {
  state_->api = std::move(api);
  asio::co_spawn(state_->acceptorStrand, acceptLoop(state_), asio::detached);
}

void AccountServer::stop() {
  std::list<std::weak_ptr<Droppable>> connections;
  {
    std::lock_guard guard(state_->lock);
    if (state_->stopped) return;
    state_->stopped = true;
    connections.swap(state_->connections);
  }
  if (state_->acceptor) {
    asio::post(state_->acceptorStrand, [state = state_] {
      boost::system::error_code ignored;
      state->acceptor->close(ignored);
    });
  }
  for (auto& weak : connections) {
    if (auto connection = weak.lock()) connection->drop();
  }
}

void AccountServer::drain() {
  if (state_->draining.exchange(true)) return;
  if (state_->acceptor) {
    asio::post(state_->acceptorStrand, [state = state_] {
      boost::system::error_code ignored;
      state->acceptor->close(ignored);
    });
  }
  state_->rooms->closeAllForRestart();
}

bool AccountServer::draining() const { return state_->draining; }

bool AccountServer::drained() const {
  return state_->draining && state_->rooms->roomCount() == 0 && state_->requestsInFlight == 0;
}

std::string AccountServer::url() const { return state_->url; }

std::size_t AccountServer::relayRoomCount() const { return state_->rooms->roomCount(); }

}  // namespace lumora::account
