#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/agent_log.h"
#include "protocol/bytes.h"
#include "protocol/room_key.h"
#include "sdk/relay/relay_socket.h"

namespace lumora::transport {

class RelaySession;

// What the owner of a relay room does with one joined socket.
class RelaySessionHandler {
 public:
  virtual ~RelaySessionHandler() = default;
  // One binary message from the room; the next is read only once this is done.
  virtual boost::asio::awaitable<void> received(protocol::Bytes message) = 0;
  // A text message: the relay's own notice (a peer joined), in order with the binary ones.
  virtual void noticed(std::string_view text) = 0;
  // The socket has ended (closed by the relay, failed, or stopped); no message follows.
  virtual void ended() = 0;
};

// One joined relay socket. Its writes go out one at a time through a queue, so replies and
// terminal output from other threads never interleave on the WebSocket.
//
// Threads: send(), queuedBytes(), hasRoom() and serial() from any thread; the rest on the link's
// strand (where the handler runs).
class RelaySession : public std::enable_shared_from_this<RelaySession> {
 public:
  RelaySession(boost::asio::any_io_executor strand, std::unique_ptr<sdk::RelaySocket> socket,
               std::size_t maxQueuedBytes, std::uint64_t serial);
  ~RelaySession();

  // Queues one binary message; dropped once the session has ended.
  void send(std::shared_ptr<const protocol::Bytes> message);
  std::size_t queuedBytes() const { return queuedBytes_.load(std::memory_order_relaxed); }
  // Whether less than the limit waits to be written.
  bool hasRoom() const { return queuedBytes() <= maxQueuedBytes_; }
  // Which join of its link this is (1 for the first).
  std::uint64_t serial() const { return serial_; }
  // The strand the session's handler runs on.
  const boost::asio::any_io_executor& executor() const { return strand_; }

  // Strand only. Completes once the queue is back within its limit (or the session ended).
  boost::asio::awaitable<void> waitForRoom();
  void setMaxMessageBytes(std::size_t bytes);
  // Drops the connection; the relay then ends the room and the link joins again.
  void end();
  // Whether the relay closed the socket with a normal closure: the phone left the room.
  bool endedByRelay() const;
  // Whether the relay closed it with 1012 (service restart): its instance is going away, and
  // another one behind the same address takes the room.
  bool endedForRestart() const;

 private:
  friend class RelayLink;

  // Reads until the socket ends, handing each binary message to `handler`, one at a time and
  // in order. Strand only.
  boost::asio::awaitable<void> serve(RelaySessionHandler& handler);
  boost::asio::awaitable<void> readAll();
  boost::asio::awaitable<void> handleAll(RelaySessionHandler& handler);
  // The closing handshake with 1001 (going away). Strand only.
  static boost::asio::awaitable<void> leave(std::shared_ptr<RelaySession> self);
  void enqueue(std::shared_ptr<const protocol::Bytes> message);
  static boost::asio::awaitable<void> writeAll(std::shared_ptr<RelaySession> self);
  void drop();

  boost::asio::any_io_executor strand_;
  std::unique_ptr<sdk::RelaySocket> socket_;
  const std::size_t maxQueuedBytes_;
  const std::uint64_t serial_;
  std::atomic<std::size_t> queuedBytes_{0};
  std::atomic<bool> ended_{false};
  // Strand only.
  std::deque<std::shared_ptr<const protocol::Bytes>> queue_;
  bool writing_ = false;
  boost::asio::steady_timer room_;  // wakes waitForRoom() when the queue drains
  // Messages read and not yet handled, at most about maxInboxBytes_.
  std::deque<sdk::RelaySocket::Message> inbox_;
  std::size_t inboxBytes_ = 0;
  const std::size_t maxInboxBytes_ = 8u << 20;
  boost::asio::steady_timer arrived_;  // wakes the handling loop
  boost::asio::steady_timer taken_;    // wakes the reading loop
};

// Keeps the agent in one relay room: joins it as the room's host (proving to the relay that it
// holds the room's key), hands every joined socket to a fresh handler, and after the relay closes
// the socket (a phone left, the relay restarted) joins again: at once after a join that served
// messages or that the relay ended because its phone left (short joins ended so only a few times in
// a row), else after 1 s, doubling up to 30 s while joins fail or end empty, and starting from 1 s
// again after a join that stayed open a while. stop() ends it all, saying goodbye to the relay with
// 1001.
//
// Threads: start() and stop() from any one thread; everything else runs on a strand of its own.
class RelayLink : public std::enable_shared_from_this<RelayLink> {
 public:
  struct Options {
    std::chrono::milliseconds firstRetry = std::chrono::seconds(1);
    std::chrono::milliseconds maxRetry = std::chrono::seconds(30);
    // A join that stays open this long counts as having lasted.
    std::chrono::milliseconds lasting = std::chrono::seconds(10);
    // The longest message read before the handler raises it.
    std::size_t maxMessageBytes = 64u << 10;
    // Past this much waiting to be written, the handler is asked to hold back.
    std::size_t maxQueuedBytes = 32u << 20;
    // For the WebSocket handshake, and again for the relay's host challenge.
    std::chrono::milliseconds handshakeTimeout = std::chrono::seconds(5);
    // The key the room is named after: the relay admits a host only with a proof made with it.
    std::optional<protocol::RoomKey> roomKey;
    // How long a peer that joined the room has to pair before its session is ended.
    std::chrono::milliseconds pairingTimeout = std::chrono::seconds(30);
  };
  using MakeHandler =
      std::function<std::unique_ptr<RelaySessionHandler>(std::shared_ptr<RelaySession>)>;

  RelayLink(boost::asio::any_io_executor executor, std::string url, std::string logCategory,
            Options options, MakeHandler makeHandler);
  ~RelayLink();

  void start();
  // Closes the current socket with 1001 and waits (a few seconds at most) for its handler to be
  // done, so that nothing it uses is released under it. No join follows.
  boost::asio::awaitable<void> stop();
  // The same without waiting, for an owner going away without having stopped.
  void stopSoon();

  // The joined socket, if there is one now.
  std::shared_ptr<RelaySession> currentSession();

  const std::string& url() const { return url_; }

 private:
  static boost::asio::awaitable<void> run(std::shared_ptr<RelayLink> self);
  // Answers the relay's challenge with the room key; throws sdk::RelaySocketError when the relay
  // does not admit this host.
  boost::asio::awaitable<void> proveHost(sdk::RelaySocket& socket);

  boost::asio::any_io_executor strand_;
  const std::string url_;
  const Options options_;
  MakeHandler makeHandler_;
  core::AgentLog log_;
  boost::asio::steady_timer retry_;  // strand only
  bool stopped_ = false;             // strand only
  std::atomic<bool> running_{false};

  std::mutex lock_;  // guards current_
  std::shared_ptr<RelaySession> current_;
};

}  // namespace lumora::transport
