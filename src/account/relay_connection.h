#pragma once

// Internal to the server: one relay WebSocket connection. Included by account_server.cc only,
// the one place that knows the stream types.

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <deque>

#include "account/relay_rooms.h"

namespace lumora::account {

// A connection the server can drop when it stops; drop() is thread-safe.
class Droppable {
 public:
  virtual ~Droppable() = default;
  virtual void drop() = 0;
};

// Everything a connection does runs on its strand (its stream's executor): the read loop, the
// write loop and the calls the room makes (posted there). Its partner is touched only through
// the thread-safe RelayEndpoint calls.
template <class Stream>
class RelayConnection final : public RelayEndpoint,
                              public Droppable,
                              public std::enable_shared_from_this<RelayConnection<Stream>> {
 public:
  using WebSocket = boost::beast::websocket::stream<Stream>;

  RelayConnection(WebSocket socket, std::shared_ptr<RelayRooms> rooms, std::string room,
                  RelaySide side, RelayLimits limits)
      : ws_(std::move(socket)),
        rooms_(std::move(rooms)),
        room_(std::move(room)),
        side_(side),
        limits_(limits),
        writerWake_(ws_.get_executor()),
        readResume_(ws_.get_executor()) {}

  WebSocket& socket() { return ws_; }

  // After the upgrade was accepted: reads and writes until either side or the room ends it.
  void start() {
    namespace asio = boost::asio;
    asio::co_spawn(ws_.get_executor(), writeLoop(this->shared_from_this()), asio::detached);
    asio::co_spawn(ws_.get_executor(), readLoop(this->shared_from_this()), asio::detached);
  }

  // The upgrade failed after the room was joined: give the slot back.
  void abandon() { end(); }

  // Closes the connection at once (the server is stopping).
  void drop() override {
    boost::asio::post(ws_.get_executor(), [self = this->shared_from_this()] { self->dropNow(); });
  }

  void pairWith(std::shared_ptr<RelayEndpoint> partner) override {
    boost::asio::post(ws_.get_executor(),
                      [self = this->shared_from_this(), partner = std::move(partner)]() mutable {
                        if (!self->ended_) self->partner_ = std::move(partner);
                      });
  }

  void partnerLeft() override {
    boost::asio::post(ws_.get_executor(), [self = this->shared_from_this()] {
      self->partner_.reset();
      self->closing_ = true;
      self->writerWake_.cancel();
      self->readResume_.cancel();
    });
  }

  void deliver(std::string message) override {
    // Counted at once, so the sender sees its own messages in the bound before they land.
    queuedBytes_.fetch_add(message.size(), std::memory_order_relaxed);
    boost::asio::post(ws_.get_executor(),
                      [self = this->shared_from_this(), message = std::move(message)]() mutable {
                        if (self->ended_ || self->closing_) {
                          self->queuedBytes_.fetch_sub(message.size(), std::memory_order_relaxed);
                          return;
                        }
                        self->queue_.push_back(std::move(message));
                        self->writerWake_.cancel();
                      });
  }

  std::size_t queuedBytes() const override { return queuedBytes_.load(std::memory_order_relaxed); }

  void resumeReading() override {
    boost::asio::post(ws_.get_executor(),
                      [self = this->shared_from_this()] { self->readResume_.cancel(); });
  }

  void closeAsSlowReader() override {
    boost::asio::post(ws_.get_executor(), [self = this->shared_from_this()] { self->dropNow(); });
  }

 private:
  using Self = std::shared_ptr<RelayConnection>;

  static boost::asio::awaitable<void> readLoop(Self self) {
    namespace asio = boost::asio;
    using asio::as_tuple;
    using asio::use_awaitable;
    boost::beast::flat_buffer buffer;
    for (;;) {
      auto [ec, size] = co_await self->ws_.async_read(buffer, as_tuple(use_awaitable));
      if (ec || self->ended_) break;
      // Only binary messages are relayed; text (a probe, a browser's chatter) goes nowhere.
      if (self->ws_.got_binary() && self->partner_ && !self->closing_) {
        const auto data = buffer.data();
        self->partner_->deliver(std::string(static_cast<const char*>(data.data()), data.size()));
        if (!co_await self->waitForPartnerToCatchUp()) break;
      }
      buffer.consume(buffer.size());
      // One large message must not keep its buffer for the rest of the connection.
      if (buffer.capacity() > (1u << 20)) buffer.shrink_to_fit();
    }
    self->end();
  }

  // Holds reading while the partner's queue is over its bound; false when the partner was
  // dropped for not catching up in time.
  boost::asio::awaitable<bool> waitForPartnerToCatchUp() {
    namespace asio = boost::asio;
    while (partner_ && !closing_ && !ended_ && partner_->queuedBytes() > limits_.maxQueuedBytes) {
      readResume_.expires_after(limits_.stallTimeout);
      auto [ec] = co_await readResume_.async_wait(asio::as_tuple(asio::use_awaitable));
      if (!ec && partner_ && partner_->queuedBytes() > limits_.maxQueuedBytes) {
        partner_->closeAsSlowReader();
        co_return false;
      }
    }
    co_return true;
  }

  static boost::asio::awaitable<void> writeLoop(Self self) {
    namespace asio = boost::asio;
    namespace websocket = boost::beast::websocket;
    using asio::as_tuple;
    using asio::use_awaitable;
    for (;;) {
      while (self->queue_.empty() && !self->closing_ && !self->ended_) {
        self->writerWake_.expires_at(asio::steady_timer::time_point::max());
        co_await self->writerWake_.async_wait(as_tuple(use_awaitable));
      }
      if (self->ended_) break;
      if (self->queue_.empty()) {
        // The partner left and everything it sent has been written: a normal close, so the
        // next session in this room starts on a fresh connection.
        co_await self->ws_.async_close(websocket::close_code::normal, as_tuple(use_awaitable));
        break;
      }
      std::string message = std::move(self->queue_.front());
      self->queue_.pop_front();
      self->ws_.binary(true);
      auto [ec, written] =
          co_await self->ws_.async_write(asio::buffer(message), as_tuple(use_awaitable));
      const std::size_t before =
          self->queuedBytes_.fetch_sub(message.size(), std::memory_order_relaxed);
      if (ec) break;
      const std::size_t bound = self->limits_.maxQueuedBytes;
      if (before > bound && before - message.size() <= bound && self->partner_) {
        self->partner_->resumeReading();
      }
    }
    self->end();
  }

  // Drops the connection without a closing handshake.
  void dropNow() {
    boost::beast::error_code ignored;
    boost::beast::get_lowest_layer(ws_).socket().close(ignored);
    end();
  }

  // On the strand; idempotent. Leaves the room (which tells the partner) and stops both loops.
  void end() {
    if (ended_) return;
    ended_ = true;
    std::size_t dropped = 0;
    for (const auto& message : queue_) dropped += message.size();
    queuedBytes_.fetch_sub(dropped, std::memory_order_relaxed);
    queue_.clear();
    partner_.reset();
    writerWake_.cancel();
    readResume_.cancel();
    rooms_->leave(room_, side_, this);
  }

  WebSocket ws_;
  std::shared_ptr<RelayRooms> rooms_;
  const std::string room_;
  const RelaySide side_;
  const RelayLimits limits_;
  boost::asio::steady_timer writerWake_;  // wakes the write loop: a message, a close, the end
  boost::asio::steady_timer readResume_;  // wakes the read loop: the partner caught up
  std::shared_ptr<RelayEndpoint> partner_;
  std::deque<std::string> queue_;
  std::atomic<std::size_t> queuedBytes_{0};  // in queue_ and being written
  bool closing_ = false;                     // close normally once the queue is written
  bool ended_ = false;
};

}  // namespace lumora::account
