#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transport/media_listener.h"
#include "transport/media_sink.h"
#include "transport/media_ticket_store.h"
#include "transport/tcp_listeners.h"

namespace lumora::transport {

struct MediaRegistry;

// The media port: every connection that presents a live one-time ticket within the time-out
// becomes a receiver of every broadcast frame; anything else is closed without a word.
//
// Each receiver has a bounded send queue. One that falls behind loses what is queued, skips
// ahead to the next key frame and asks for one at once, so a slow phone recovers within a
// frame or two, never grows the agent's memory, and never slows the others. A new receiver
// also starts at a key frame. Receivers are read only to notice that they hung up.
//
// Threads: construct, start and stop from one thread; connections run on strands over the io
// executor; broadcast() may be called from any thread.
class MediaServer : public MediaListener, public MediaSink {
 public:
  struct Limits {
    std::size_t maxQueuedFrames = 8;
    std::size_t maxQueuedBytes = 8u << 20;
  };

  // Without a ticket store every connection is admitted at once.
  MediaServer(boost::asio::any_io_executor executor, std::shared_ptr<MediaTicketStore> tickets,
              std::chrono::milliseconds ticketTimeout, Limits limits);
  MediaServer(boost::asio::any_io_executor executor, std::shared_ptr<MediaTicketStore> tickets,
              std::chrono::milliseconds ticketTimeout)
      : MediaServer(std::move(executor), std::move(tickets), ticketTimeout, Limits()) {}
  ~MediaServer() override;

  boost::asio::awaitable<std::uint16_t> start(std::uint16_t port,
                                              std::vector<std::string> bindHosts) override;
  // Stops listening and closes every connection, admitted or not.
  void stop() override;
  std::uint16_t boundPort();
  // Admitted receivers.
  std::size_t connectionCount();

  void broadcast(const protocol::MediaFrame& frame) override;

  // Called (from a connection's strand) when a receiver needs a key frame: it just joined or
  // fell behind. Set before start().
  void setKeyFrameRequester(std::function<void()> request);
  // Called with the new number of receivers whenever one is admitted or goes. Set before
  // start().
  void setOnReceiverCountChanged(std::function<void(std::size_t)> handler);

 private:
  TcpListeners listeners_;
  std::shared_ptr<MediaRegistry> registry_;
};

}  // namespace lumora::transport
