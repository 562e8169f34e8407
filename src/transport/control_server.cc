#include "transport/control_server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <atomic>
#include <cerrno>
#include <deque>
#include <list>
#include <variant>

#include <sys/socket.h>

#include "core/agent_log.h"
#include "protocol/frame_codec.h"
#include "transport/tcp_listeners.h"

namespace lumora::transport {

namespace asio = boost::asio;
using asio::ip::tcp;
using protocol::Bytes;
using protocol::Envelope;

namespace {
class ControlConnection;
}

struct ControlRegistry {
  using Limits = ControlServer::Limits;
  ConnectionContext::Dependencies dependencies;
  Limits limits;
  core::AgentLog log{"transport"};
  std::function<void(core::PeerID)> onConnectionClosed;
  std::shared_ptr<ProofThrottle> proofThrottle;

  std::mutex lock;  // guards the two lists
  std::list<std::weak_ptr<ControlConnection>> connections;
  std::list<std::weak_ptr<ControlConnection>> unauthenticated;  // oldest first

  void admit(const std::shared_ptr<ControlConnection>& connection);
  void authenticated(const ControlConnection* connection);
  void forget(const ControlConnection* connection);
  std::vector<std::shared_ptr<ControlConnection>> all();
};

namespace {

// One accepted control connection. Everything it does runs on its strand: the read loop, the
// write queue, closing. send() may be called from any thread.
class ControlConnection : public std::enable_shared_from_this<ControlConnection> {
 public:
  ControlConnection(tcp::socket socket, std::shared_ptr<ControlRegistry> registry)
      : socket_(std::move(socket)),
        registry_(std::move(registry)),
        decoder_(registry_->limits.maxFrameBeforeAuthentication),
        authenticationDeadline_(socket_.get_executor()),
        writesDrained_(socket_.get_executor()) {
    boost::system::error_code ec;
    auto remote = socket_.remote_endpoint(ec);
    address_ = ec ? std::string("unknown") : remote.address().to_string();
    peer_ = ec ? std::string("unknown peer") : address_ + ":" + std::to_string(remote.port());
  }

  void start() {
    std::weak_ptr<ControlConnection> weak = weak_from_this();
    auto outbound = [weak](const Envelope& envelope) {
      if (auto self = weak.lock()) self->send(envelope);
    };
    // Terminal output waits in the terminal while the peer is behind on its replies.
    auto hasRoom = [weak] {
      auto self = weak.lock();
      return !self || self->sharedQueuedBytes_.load(std::memory_order_relaxed) <=
                          self->registry_->limits.maxQueuedReplyBytes;
    };
    ConnectionContext::Dependencies dependencies = registry_->dependencies;
    dependencies.proofThrottle = registry_->proofThrottle;
    dependencies.peerAddress = address_;
    context_ = ConnectionContext::create(std::move(dependencies), outbound, hasRoom);
    if (!context_->authenticated()) {
      authenticationDeadline_.expires_after(registry_->limits.authenticationTimeout);
      authenticationDeadline_.async_wait([weak](boost::system::error_code ec) {
        auto self = weak.lock();
        if (ec || !self || self->context_->authenticated()) return;
        self->registry_->log.info("closing connection from " + self->peer_ +
                                  ": not authenticated in time");
        self->close();
      });
    }
    asio::co_spawn(socket_.get_executor(), readLoop(shared_from_this()), asio::detached);
  }

  // Thread-safe: encodes here, queues on the strand.
  void send(const Envelope& envelope) {
    auto frame = std::make_shared<protocol::OutgoingFrame>(envelope.encode());
    asio::post(socket_.get_executor(),
               [self = shared_from_this(), frame]() mutable { self->enqueue(std::move(frame)); });
  }

  // Thread-safe and idempotent.
  void close() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->closeOnStrand(); });
  }

 private:
  static asio::awaitable<void> readLoop(std::shared_ptr<ControlConnection> self) {
    std::vector<std::uint8_t> buffer(65536);
    while (!self->closed_) {
      auto [ec, n] = co_await self->socket_.async_read_some(asio::buffer(buffer),
                                                            asio::as_tuple(asio::use_awaitable));
      if (ec || self->closed_) break;
      for (Bytes& body : self->decoder_.push(protocol::ByteView(buffer.data(), n))) {
        // A peer that asks without reading its replies is not answered further until it
        // catches up, so what waits to be sent stays bounded.
        while (self->queuedBytes_ > self->registry_->limits.maxQueuedReplyBytes && !self->closed_) {
          self->writesDrained_.expires_at(asio::steady_timer::time_point::max());
          co_await self->writesDrained_.async_wait(asio::as_tuple(asio::use_awaitable));
        }
        if (self->closed_) co_return;
        auto processing = self->processUnlessPeerLeaves(body);
        auto reply = co_await std::move(processing);
        if (self->closed_) co_return;
        if (reply) {
          self->enqueue(std::make_shared<protocol::OutgoingFrame>(reply->encode()));
        }
        if (!self->wasAuthenticated_ && self->context_->authenticated()) self->onAuthenticated();
        if (self->context_->tooManyFailedAuthentications()) {
          self->registry_->log.info("closing connection from " + self->peer_ +
                                    ": too many failed authentications");
          self->closeAfterWrites();
          co_return;
        }
      }
      if (self->decoder_.failed()) {
        self->registry_->log.info("closing connection from " + self->peer_ + ": " +
                                  self->decoder_.failure());
        break;
      }
    }
    self->closeOnStrand();
  }

  // The reply to `body`, unless the peer hangs up first: then the request is abandoned (a
  // one-shot command and whatever it left running are ended) and the connection closes.
  asio::awaitable<std::optional<Envelope>> processUnlessPeerLeaves(Bytes body) {
    using namespace asio::experimental::awaitable_operators;
    auto processing = context_->process(body);
    auto hangUp = peerHangUp();
    auto first = co_await (std::move(processing) || std::move(hangUp));
    if (first.index() == 1) {
      registry_->log.info("closing connection from " + peer_ + ": peer left during a request");
      closeOnStrand();
      co_return std::nullopt;
    }
    co_return std::get<0>(std::move(first));
  }

  // Completes when the peer has closed its side while nothing of it is left unread. Bytes
  // waiting to be read (a pipelined request) hide a hang-up behind them, so then it only waits
  // to be cancelled.
  asio::awaitable<void> peerHangUp() {
    auto [waited] =
        co_await socket_.async_wait(tcp::socket::wait_read, asio::as_tuple(asio::use_awaitable));
    if (waited) co_return;  // cancelled, the request being done; or the socket failed
    std::uint8_t byte;
    const ssize_t n = ::recv(socket_.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) co_return;
    asio::steady_timer never(socket_.get_executor(), asio::steady_timer::time_point::max());
    co_await never.async_wait(asio::as_tuple(asio::use_awaitable));
  }

  // On the strand.
  void enqueue(std::shared_ptr<protocol::OutgoingFrame> frame) {
    if (closed_) return;
    queuedBytes_ += frame->size();
    sharedQueuedBytes_.store(queuedBytes_, std::memory_order_relaxed);
    queue_.push_back(std::move(frame));
    if (queue_.size() == 1) writeNext();
  }

  void onAuthenticated() {
    wasAuthenticated_ = true;
    authenticationDeadline_.cancel();
    decoder_.setMaxBodyLength(registry_->limits.maxFrameAfterAuthentication);
    registry_->authenticated(this);
  }

  void writeNext() {
    // The frame rides with the operation, so closing (which empties the queue) cannot free it
    // under a write in flight.
    std::shared_ptr<protocol::OutgoingFrame> frame = queue_.front();
    std::array<asio::const_buffer, 2> pieces{asio::buffer(frame->prefix),
                                             asio::buffer(frame->body)};
    asio::async_write(
        socket_, pieces,
        [self = shared_from_this(), frame](boost::system::error_code ec, std::size_t) {
          if (self->closed_) return;
          self->queue_.pop_front();
          self->queuedBytes_ -= frame->size();
          // A failed send is the reader's to notice; drop what is queued.
          if (ec) {
            self->queue_.clear();
            self->queuedBytes_ = 0;
          }
          self->sharedQueuedBytes_.store(self->queuedBytes_, std::memory_order_relaxed);
          if (self->queuedBytes_ <= self->registry_->limits.maxQueuedReplyBytes) {
            self->writesDrained_.cancel();
          }
          if (!self->queue_.empty()) {
            self->writeNext();
          } else if (self->closeWhenFlushed_) {
            self->closeOnStrand();
          }
        });
  }

  // Lets the last reply (the refusal) reach the peer before the connection goes.
  void closeAfterWrites() {
    if (queue_.empty()) {
      closeOnStrand();
    } else {
      closeWhenFlushed_ = true;
    }
  }

  void closeOnStrand() {
    if (closed_) return;
    closed_ = true;
    authenticationDeadline_.cancel();
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    queue_.clear();
    queuedBytes_ = 0;
    sharedQueuedBytes_.store(0, std::memory_order_relaxed);
    writesDrained_.cancel();
    if (context_) context_->closeAllSessions();
    registry_->forget(this);
    if (context_ && registry_->onConnectionClosed) {
      registry_->onConnectionClosed(context_->peerID());
    }
  }

  tcp::socket socket_;
  std::shared_ptr<ControlRegistry> registry_;
  std::string address_;
  std::string peer_;  // address and port, for the log
  protocol::FrameDecoder decoder_;
  asio::steady_timer authenticationDeadline_;
  std::shared_ptr<ConnectionContext> context_;
  std::deque<std::shared_ptr<protocol::OutgoingFrame>> queue_;
  std::size_t queuedBytes_ = 0;                    // in queue_, including the frame being written
  std::atomic<std::size_t> sharedQueuedBytes_{0};  // queuedBytes_ for other threads
  asio::steady_timer writesDrained_;  // wakes the reader once queuedBytes_ is back in bounds
  bool wasAuthenticated_ = false;
  bool closeWhenFlushed_ = false;
  bool closed_ = false;
};

}  // namespace

void ControlRegistry::admit(const std::shared_ptr<ControlConnection>& connection) {
  std::shared_ptr<ControlConnection> evicted;
  {
    std::lock_guard guard(lock);
    connections.push_back(connection);
    unauthenticated.push_back(connection);
    if (unauthenticated.size() > limits.maxUnauthenticatedConnections) {
      evicted = unauthenticated.front().lock();
      unauthenticated.pop_front();
    }
  }
  if (evicted) {
    log.info("closing the oldest unauthenticated connection: too many waiting");
    evicted->close();
  }
}

void ControlRegistry::authenticated(const ControlConnection* connection) {
  std::lock_guard guard(lock);
  unauthenticated.remove_if([&](const auto& weak) {
    auto held = weak.lock();
    return !held || held.get() == connection;
  });
}

void ControlRegistry::forget(const ControlConnection* connection) {
  std::lock_guard guard(lock);
  auto matches = [&](const std::weak_ptr<ControlConnection>& weak) {
    auto held = weak.lock();
    return !held || held.get() == connection;
  };
  connections.remove_if(matches);
  unauthenticated.remove_if(matches);
}

std::vector<std::shared_ptr<ControlConnection>> ControlRegistry::all() {
  std::lock_guard guard(lock);
  std::vector<std::shared_ptr<ControlConnection>> live;
  for (const auto& weak : connections) {
    if (auto held = weak.lock()) live.push_back(std::move(held));
  }
  return live;
}

ControlServer::ControlServer(asio::any_io_executor executor,
                             ConnectionContext::Dependencies dependencies, Limits limits)
    : listeners_(std::move(executor)), registry_(std::make_shared<ControlRegistry>()) {
  registry_->dependencies = std::move(dependencies);
  registry_->limits = limits;
  registry_->proofThrottle = std::make_shared<ProofThrottle>(limits.proofPacing);
}

ControlServer::~ControlServer() { stop(); }

void ControlServer::setOnConnectionClosed(std::function<void(core::PeerID)> handler) {
  registry_->onConnectionClosed = std::move(handler);
}

asio::awaitable<std::uint16_t> ControlServer::start(std::uint16_t port,
                                                    std::vector<std::string> bindHosts) {
  // Built outside the awaited expression: GCC 12 destroys a temporary handed to a coroutine
  // there twice.
  TcpListeners::OnAccept onAccept = [registry = registry_](tcp::socket socket) {
    auto connection = std::make_shared<ControlConnection>(std::move(socket), registry);
    registry->admit(connection);
    connection->start();
  };
  auto listening = listeners_.start(port, bindHosts, std::move(onAccept));
  const std::uint16_t bound = co_await std::move(listening);
  registry_->log.info("control server listening on port " + std::to_string(bound) +
                      " hosts=" + describeHosts(bindHosts));
  co_return bound;
}

void ControlServer::stop() {
  listeners_.stop();
  for (auto& connection : registry_->all()) connection->close();
}

std::uint16_t ControlServer::boundPort() { return listeners_.port(); }

std::size_t ControlServer::connectionCount() { return registry_->all().size(); }

}  // namespace lumora::transport
