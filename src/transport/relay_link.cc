#include "transport/relay_link.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <algorithm>

#include "protocol/relay_notices.h"
#include "sdk/relay/relay_socket.h"

namespace lumora::transport {

namespace asio = boost::asio;
using asio::as_tuple;
using asio::use_awaitable;
using protocol::Bytes;

RelaySession::RelaySession(asio::any_io_executor strand, std::unique_ptr<sdk::RelaySocket> socket,
                           std::size_t maxQueuedBytes, std::uint64_t serial)
    : strand_(std::move(strand)),
      socket_(std::move(socket)),
      maxQueuedBytes_(maxQueuedBytes),
      serial_(serial),
      room_(strand_),
      arrived_(strand_),
      taken_(strand_) {}

RelaySession::~RelaySession() = default;

void RelaySession::send(std::shared_ptr<const Bytes> message) {
  if (ended_.load()) return;
  queuedBytes_.fetch_add(message->size(), std::memory_order_relaxed);
  asio::post(strand_, [self = shared_from_this(), message = std::move(message)]() mutable {
    self->enqueue(std::move(message));
  });
}

void RelaySession::enqueue(std::shared_ptr<const Bytes> message) {
  queue_.push_back(std::move(message));
  if (writing_) return;
  writing_ = true;
  asio::co_spawn(strand_, writeAll(shared_from_this()), asio::detached);
}

// One WebSocket write at a time, in the order they were queued. Once the session has ended,
// what is left is only counted off.
asio::awaitable<void> RelaySession::writeAll(std::shared_ptr<RelaySession> self) {
  while (!self->queue_.empty()) {
    std::shared_ptr<const Bytes> message = std::move(self->queue_.front());
    self->queue_.pop_front();
    if (!self->ended_) {
      try {
        co_await self->socket_->writeBinary(*message);
      } catch (const std::exception&) {
        self->drop();
      }
    }
    self->queuedBytes_.fetch_sub(message->size(), std::memory_order_relaxed);
    if (self->hasRoom()) self->room_.cancel();
  }
  self->writing_ = false;
}

asio::awaitable<void> RelaySession::waitForRoom() {
  while (!hasRoom() && !ended_) {
    room_.expires_at(asio::steady_timer::time_point::max());
    co_await room_.async_wait(as_tuple(use_awaitable));
  }
}

void RelaySession::setMaxMessageBytes(std::size_t bytes) { socket_->setMaxMessageBytes(bytes); }

void RelaySession::end() {
  asio::post(strand_, [self = shared_from_this()] { self->drop(); });
}

bool RelaySession::endedByRelay() const {
  return socket_->closeCode() == boost::beast::websocket::close_code::normal;
}

bool RelaySession::endedForRestart() const {
  return socket_->closeCode() == boost::beast::websocket::close_code::service_restart;
}

void RelaySession::drop() {
  ended_ = true;
  room_.cancel();
  socket_->abort();
}

// Reading goes on while a message is handled, so the relay's pings are answered during a long
// request, and a socket that ends abandons the request it was waiting for (a one-shot command
// and what it started are ended) instead of holding the room until it is done.
asio::awaitable<void> RelaySession::serve(RelaySessionHandler& handler) {
  using namespace asio::experimental::awaitable_operators;
  auto reading = readAll();
  auto handling = handleAll(handler);
  co_await (std::move(reading) || std::move(handling));
  drop();
}

asio::awaitable<void> RelaySession::readAll() {
  try {
    while (!ended_) {
      sdk::RelaySocket::Message message = co_await socket_->readMessage();
      inboxBytes_ += message.data.size();
      inbox_.push_back(std::move(message));
      arrived_.cancel();
      // Handling is behind: what waits stays bounded, the rest stays in TCP.
      while (inboxBytes_ > maxInboxBytes_ && !ended_) {
        taken_.expires_at(asio::steady_timer::time_point::max());
        co_await taken_.async_wait(as_tuple(use_awaitable));
      }
    }
  } catch (const std::exception&) {
    // The relay closed the socket, the network failed, or the session was ended.
  }
}

asio::awaitable<void> RelaySession::handleAll(RelaySessionHandler& handler) {
  for (;;) {
    while (inbox_.empty()) {
      arrived_.expires_at(asio::steady_timer::time_point::max());
      co_await arrived_.async_wait(as_tuple(use_awaitable));
    }
    sdk::RelaySocket::Message message = std::move(inbox_.front());
    inbox_.pop_front();
    inboxBytes_ -= message.data.size();
    taken_.cancel();
    if (message.text) {
      handler.noticed(protocol::asText(message.data));
      continue;
    }
    auto handled = handler.received(std::move(message.data));
    co_await std::move(handled);
  }
}

asio::awaitable<void> RelaySession::leave(std::shared_ptr<RelaySession> self) {
  if (self->ended_) co_return;
  self->ended_ = true;
  self->room_.cancel();
  co_await self->socket_->close(boost::beast::websocket::close_code::going_away);
}

RelayLink::RelayLink(asio::any_io_executor executor, std::string url, std::string logCategory,
                     Options options, MakeHandler makeHandler)
    : strand_(asio::make_strand(std::move(executor))),
      url_(std::move(url)),
      options_(options),
      makeHandler_(std::move(makeHandler)),
      log_(std::move(logCategory)),
      retry_(strand_) {}

RelayLink::~RelayLink() = default;

void RelayLink::start() {
  running_ = true;
  asio::co_spawn(strand_, run(shared_from_this()), asio::detached);
}

std::shared_ptr<RelaySession> RelayLink::currentSession() {
  std::lock_guard guard(lock_);
  return current_;
}

namespace {
constexpr auto kShortJoin = std::chrono::seconds(1);
constexpr int kShortEndsRejoinedAtOnce = 3;
}  // namespace

asio::awaitable<void> RelayLink::run(std::shared_ptr<RelayLink> self) {
  sdk::RelaySocket::Options socketOptions;
  socketOptions.maxMessageBytes = self->options_.maxMessageBytes;
  socketOptions.handshakeTimeout = self->options_.handshakeTimeout;
  socketOptions.userAgent = "lumora-agent";
  std::chrono::milliseconds retry = self->options_.firstRetry;
  std::uint64_t joins = 0;
  bool failing = false;
  int shortEndsInARow = 0;
  while (!self->stopped_) {
    const auto began = std::chrono::steady_clock::now();
    std::unique_ptr<sdk::RelaySocket> socket;
    std::string failure;
    try {
      // Built outside the awaited expression: GCC 12 destroys a temporary handed to a
      // coroutine there twice.
      auto opening = sdk::RelaySocket::open(self->strand_, self->url_, socketOptions);
      socket = co_await std::move(opening);
      if (self->options_.roomKey) {
        auto proving = self->proveHost(*socket);
        co_await std::move(proving);
      }
    } catch (const std::exception& e) {
      if (socket) socket->abort();
      socket.reset();
      failure = e.what();
    }
    if (socket && self->stopped_) {
      co_await socket->close(boost::beast::websocket::close_code::going_away);
      break;
    }
    bool lasted = false;
    bool served = false;
    if (socket) {
      if (failing) self->log_.info("joined the relay room again at " + self->url_);
      failing = false;
      auto session = std::make_shared<RelaySession>(self->strand_, std::move(socket),
                                                    self->options_.maxQueuedBytes, ++joins);
      {
        std::lock_guard guard(self->lock_);
        self->current_ = session;
      }
      auto handler = self->makeHandler_(session);
      struct Counting : RelaySessionHandler {
        Counting(RelaySessionHandler& h, bool& s) : inner(h), served(s) {}
        asio::awaitable<void> received(Bytes message) override {
          served = true;
          auto handling = inner.received(std::move(message));
          co_await std::move(handling);
        }
        void noticed(std::string_view text) override { inner.noticed(text); }
        void ended() override {}
        RelaySessionHandler& inner;
        bool& served;
      } counting(*handler, served);
      co_await session->serve(counting);
      handler->ended();
      handler.reset();
      {
        std::lock_guard guard(self->lock_);
        self->current_.reset();
      }
      const auto open = std::chrono::steady_clock::now() - began;
      lasted = open >= self->options_.lasting;
      // The media room's phone sends nothing: that the relay ended the room normally is what
      // says a phone was there and left. Short joins ended so are rejoined at once only a few
      // times in a row, so that a relay that ends every socket at once meets the growing wait.
      // A relay instance that is going away asks for the same: the room is taken up at once
      // by another instance, and waiting would only keep the phones out.
      const bool restart = session->endedForRestart();
      if (restart) self->log_.info("the relay is restarting: joining the room again at once");
      if (session->endedByRelay() || restart) {
        shortEndsInARow = open >= kShortJoin ? 0 : shortEndsInARow + 1;
        if (shortEndsInARow <= kShortEndsRejoinedAtOnce) served = true;
      }
    } else if (!failing) {
      failing = true;
      self->log_.error("cannot join the relay room at " + self->url_ + ": " + failure +
                       "; trying again");
    }
    if (self->stopped_) break;
    if (served) {
      // A phone's session ended the normal way: the next phone may be waiting already.
      retry = self->options_.firstRetry;
      continue;
    }
    if (lasted) retry = self->options_.firstRetry;
    self->log_.debug("joining the relay room again in " + std::to_string(retry.count()) + " ms");
    self->retry_.expires_after(retry);
    co_await self->retry_.async_wait(as_tuple(use_awaitable));
    retry = std::min(retry * 2, self->options_.maxRetry);
  }
  self->running_ = false;
}

asio::awaitable<void> RelayLink::proveHost(sdk::RelaySocket& socket) {
  namespace notice = protocol::RelayNotice;
  // The relay speaks first; what it says must come in time.
  auto next = [&]() -> asio::awaitable<std::string> {
    std::optional<sdk::RelaySocket::Message> message;
    try {
      message = co_await socket.readMessage(options_.handshakeTimeout);
    } catch (const std::exception&) {
      const std::string reason = socket.closeReason();
      throw sdk::RelaySocketError("the relay did not admit this agent as the room's host" +
                                  (reason.empty() ? std::string() : ": " + reason));
    }
    if (!message) throw sdk::RelaySocketError("the relay did not ask for the room key in time");
    if (!message->text) throw sdk::RelaySocketError("the relay sent bytes before admitting us");
    co_return std::string(protocol::asText(message->data));
  };
  auto challenge = notice::parseChallenge(co_await next());
  if (!challenge) throw sdk::RelaySocketError("the relay did not challenge the room's host");
  const std::string room = url_.substr(url_.rfind('/') + 1);
  const std::string proof =
      notice::proof(options_.roomKey->publicKey(), options_.roomKey->hostProof(room, *challenge));
  co_await socket.writeText(proof);
  if (!notice::isAdmitted(co_await next())) {
    throw sdk::RelaySocketError("the relay did not admit this agent as the room's host");
  }
}

void RelayLink::stopSoon() {
  asio::post(strand_, [self = shared_from_this()] {
    self->stopped_ = true;
    self->retry_.cancel();
    if (auto session = self->currentSession()) {
      asio::co_spawn(self->strand_, RelaySession::leave(session), asio::detached);
    }
  });
}

asio::awaitable<void> RelayLink::stop() {
  stopSoon();
  asio::steady_timer pause(co_await asio::this_coro::executor);
  for (int i = 0; i < 150 && running_; ++i) {
    pause.expires_after(std::chrono::milliseconds(20));
    co_await pause.async_wait(as_tuple(use_awaitable));
  }
}

}  // namespace lumora::transport
