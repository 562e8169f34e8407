#include "transport/media_server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <deque>
#include <list>

#include "core/agent_log.h"
#include "transport/tcp_listeners.h"
#include "transport/ticket_frame.h"

namespace lumora::transport {

namespace asio = boost::asio;
using asio::ip::tcp;
using protocol::Bytes;

namespace {
class MediaConnection;
using SharedFrame = std::shared_ptr<const Bytes>;
}  // namespace

// What the server and its connections share; connections keep it alive past the server.
struct MediaRegistry {
  std::shared_ptr<MediaTicketStore> tickets;
  std::chrono::milliseconds ticketTimeout{};
  MediaServer::Limits limits;
  core::AgentLog log{"media"};
  std::function<void()> requestKeyFrame;
  std::function<void(std::size_t)> onReceiverCountChanged;

  std::mutex lock;  // guards the two lists and `stopped`
  std::list<std::weak_ptr<MediaConnection>> gating;
  std::vector<std::shared_ptr<MediaConnection>> receivers;
  bool stopped = false;

  void keyFrameNeeded() const {
    if (requestKeyFrame) requestKeyFrame();
  }
  void gate(const std::shared_ptr<MediaConnection>& connection);
  // False once the server has stopped: the connection is to close instead.
  bool admit(const std::shared_ptr<MediaConnection>& connection);
  void forget(const MediaConnection* connection);
  std::vector<std::shared_ptr<MediaConnection>> receiverList();
  // Empties both lists and refuses further admissions until the next start.
  std::vector<std::shared_ptr<MediaConnection>> takeAll();
};

namespace {

// One accepted media connection. Everything it does runs on its strand; offer() and close()
// may be called from any thread.
class MediaConnection : public std::enable_shared_from_this<MediaConnection> {
 public:
  MediaConnection(tcp::socket socket, std::shared_ptr<MediaRegistry> registry)
      : socket_(std::move(socket)),
        registry_(std::move(registry)),
        ticketDeadline_(socket_.get_executor()) {}

  void start() {
    if (!registry_->tickets) {
      admit();
      return;
    }
    registry_->gate(shared_from_this());
    ticketDeadline_.expires_after(registry_->ticketTimeout);
    ticketDeadline_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
      if (ec || self->resolved_) return;
      self->resolved_ = true;
      self->registry_->log.info("media connection rejected: ticket timeout");
      self->closeOnStrand();
    });
    asio::co_spawn(socket_.get_executor(), readTicket(shared_from_this()), asio::detached);
  }

  void offer(SharedFrame frame, bool isKeyframe) {
    asio::post(socket_.get_executor(), [self = shared_from_this(), frame = std::move(frame),
                                        isKeyframe]() mutable {
      self->enqueue(std::move(frame), isKeyframe);
    });
  }

  void close() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->closeOnStrand(); });
  }

 private:
  static asio::awaitable<void> readTicket(std::shared_ptr<MediaConnection> self) {
    Bytes received;
    std::array<std::uint8_t, 4096> chunk{};
    for (;;) {
      auto [ec, n] = co_await self->socket_.async_read_some(asio::buffer(chunk),
                                                            asio::as_tuple(asio::use_awaitable));
      if (self->resolved_) co_return;
      received.insert(received.end(), chunk.begin(), chunk.begin() + static_cast<long>(n));
      auto parsed = TicketFrame::parse(received);
      if (auto* ticket = std::get_if<std::string>(&parsed)) {
        self->resolve();
        if (self->registry_->tickets->consume(*ticket)) {
          self->admit();
        } else {
          self->registry_->log.info("media connection rejected: invalid/expired ticket");
          self->closeOnStrand();
        }
        co_return;
      }
      if (std::holds_alternative<TicketFrame::Malformed>(parsed)) {
        self->resolve();
        self->registry_->log.info("media connection rejected: malformed ticket frame");
        self->closeOnStrand();
        co_return;
      }
      if (ec) {
        self->resolve();
        self->closeOnStrand();
        co_return;
      }
    }
  }

  // Admitted receivers are read only to notice that they hung up; what they send is dropped.
  static asio::awaitable<void> watchForHangUp(std::shared_ptr<MediaConnection> self) {
    std::array<std::uint8_t, 4096> discard{};
    while (!self->closed_) {
      auto [ec, n] = co_await self->socket_.async_read_some(asio::buffer(discard),
                                                            asio::as_tuple(asio::use_awaitable));
      if (ec) break;
    }
    self->closeOnStrand();
  }

  void resolve() {
    resolved_ = true;
    ticketDeadline_.cancel();
  }

  void admit() {
    if (closed_) return;
    awaitingKeyframe_ = true;
    if (!registry_->admit(shared_from_this())) {
      closeOnStrand();
      return;
    }
    registry_->keyFrameNeeded();
    asio::co_spawn(socket_.get_executor(), watchForHangUp(shared_from_this()), asio::detached);
  }

  void enqueue(SharedFrame frame, bool isKeyframe) {
    if (closed_) return;
    if (awaitingKeyframe_) {
      if (!isKeyframe) return;
      awaitingKeyframe_ = false;
    }
    const auto& limits = registry_->limits;
    if (queue_.size() >= limits.maxQueuedFrames ||
        queuedBytes_ + frame->size() > limits.maxQueuedBytes) {
      // Fallen behind: what is queued is stale anyway. Resume at a key frame.
      queue_.clear();
      queuedBytes_ = 0;
      if (!isKeyframe) {
        awaitingKeyframe_ = true;
        registry_->keyFrameNeeded();
        return;
      }
    }
    queuedBytes_ += frame->size();
    queue_.push_back(std::move(frame));
    if (!writing_) writeNext();
  }

  void writeNext() {
    SharedFrame frame = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= frame->size();
    writing_ = true;
    asio::async_write(socket_, asio::buffer(*frame),
                      [self = shared_from_this(), frame](boost::system::error_code ec, std::size_t) {
                        self->writing_ = false;
                        if (self->closed_) return;
                        if (ec) {
                          self->closeOnStrand();
                        } else if (!self->queue_.empty()) {
                          self->writeNext();
                        }
                      });
  }

  void closeOnStrand() {
    if (closed_) return;
    closed_ = true;
    resolved_ = true;
    ticketDeadline_.cancel();
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    queue_.clear();
    queuedBytes_ = 0;
    registry_->forget(this);
  }

  tcp::socket socket_;
  std::shared_ptr<MediaRegistry> registry_;
  asio::steady_timer ticketDeadline_;
  bool resolved_ = false;  // the ticket reader or the time-out has decided
  bool awaitingKeyframe_ = false;
  bool writing_ = false;
  bool closed_ = false;
  std::deque<SharedFrame> queue_;  // not counting the frame being written
  std::size_t queuedBytes_ = 0;
};

}  // namespace

void MediaRegistry::gate(const std::shared_ptr<MediaConnection>& connection) {
  std::lock_guard guard(lock);
  gating.remove_if([](const auto& weak) { return weak.expired(); });
  gating.push_back(connection);
}

bool MediaRegistry::admit(const std::shared_ptr<MediaConnection>& connection) {
  std::size_t count = 0;
  {
    std::lock_guard guard(lock);
    if (stopped) return false;
    gating.remove_if([&](const auto& weak) {
      auto held = weak.lock();
      return !held || held == connection;
    });
    receivers.push_back(connection);
    count = receivers.size();
  }
  if (onReceiverCountChanged) onReceiverCountChanged(count);
  return true;
}

void MediaRegistry::forget(const MediaConnection* connection) {
  bool wasReceiver = false;
  std::size_t count = 0;
  {
    std::lock_guard guard(lock);
    gating.remove_if([&](const auto& weak) {
      auto held = weak.lock();
      return !held || held.get() == connection;
    });
    auto found = std::find_if(receivers.begin(), receivers.end(),
                              [&](const auto& held) { return held.get() == connection; });
    if (found != receivers.end()) {
      wasReceiver = true;
      receivers.erase(found);
    }
    count = receivers.size();
  }
  if (wasReceiver && onReceiverCountChanged) onReceiverCountChanged(count);
}

std::vector<std::shared_ptr<MediaConnection>> MediaRegistry::receiverList() {
  std::lock_guard guard(lock);
  return receivers;
}

std::vector<std::shared_ptr<MediaConnection>> MediaRegistry::takeAll() {
  std::vector<std::shared_ptr<MediaConnection>> taken;
  bool hadReceivers = false;
  {
    std::lock_guard guard(lock);
    stopped = true;
    hadReceivers = !receivers.empty();
    taken.swap(receivers);
    for (const auto& weak : gating) {
      if (auto held = weak.lock()) taken.push_back(std::move(held));
    }
    gating.clear();
  }
  if (hadReceivers && onReceiverCountChanged) onReceiverCountChanged(0);
  return taken;
}

MediaServer::MediaServer(asio::any_io_executor executor, std::shared_ptr<MediaTicketStore> tickets,
                         std::chrono::milliseconds ticketTimeout, Limits limits)
    : listeners_(std::move(executor)), registry_(std::make_shared<MediaRegistry>()) {
  registry_->tickets = std::move(tickets);
  registry_->ticketTimeout = ticketTimeout;
  registry_->limits = limits;
}

MediaServer::~MediaServer() { stop(); }

void MediaServer::setKeyFrameRequester(std::function<void()> request) {
  registry_->requestKeyFrame = std::move(request);
}

void MediaServer::setOnReceiverCountChanged(std::function<void(std::size_t)> handler) {
  registry_->onReceiverCountChanged = std::move(handler);
}

asio::awaitable<std::uint16_t> MediaServer::start(std::uint16_t port,
                                                  std::vector<std::string> bindHosts) {
  {
    std::lock_guard guard(registry_->lock);
    registry_->stopped = false;
  }
  // Built outside the awaited expression: GCC 12 destroys a temporary handed to a coroutine
  // there twice.
  TcpListeners::OnAccept onAccept = [registry = registry_](tcp::socket socket) {
    std::make_shared<MediaConnection>(std::move(socket), registry)->start();
  };
  auto listening = listeners_.start(port, bindHosts, std::move(onAccept));
  const std::uint16_t bound = co_await std::move(listening);
  registry_->log.info("media server listening on port " + std::to_string(bound) +
                      " hosts=" + describeHosts(bindHosts));
  co_return bound;
}

void MediaServer::stop() {
  listeners_.stop();
  for (auto& connection : registry_->takeAll()) connection->close();
}

std::uint16_t MediaServer::boundPort() { return listeners_.port(); }

std::size_t MediaServer::connectionCount() { return registry_->receiverList().size(); }

void MediaServer::broadcast(const protocol::MediaFrame& frame) {
  auto receivers = registry_->receiverList();
  if (receivers.empty()) return;
  auto encoded = std::make_shared<const Bytes>(protocol::MediaFrameCodec::encode(frame));
  for (auto& receiver : receivers) receiver->offer(encoded, frame.meta.isKeyframe);
}

}  // namespace lumora::transport
