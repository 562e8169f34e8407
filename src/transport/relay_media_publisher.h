#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <memory>
#include <string>

#include "transport/media_sink.h"
#include "transport/relay_link.h"

namespace lumora::transport {

// A media sink beside the media server: publishes every frame of the screen stream in the
// agent's relay media room, one encoded media frame per binary WebSocket message. Nothing the
// room sends is used. Frames are dropped while no socket is joined, and while more than the
// link's queue limit waits to be written (the relay is behind); after a drop, and on a freshly
// joined socket, frames resume with the next key frame so that the receiver can decode them.
//
// Threads: construct, connect and stop from one thread (the runtime's); broadcast from the
// encoder's thread.
class RelayMediaPublisher : public MediaSink {
 public:
  RelayMediaPublisher(boost::asio::any_io_executor executor, std::string url,
                      RelayLink::Options options = RelayLink::Options());
  ~RelayMediaPublisher() override;

  // Starts joining in the background; logs "relay media publisher joined " and the URL.
  void connect();
  // Leaves the room with close code 1001.
  boost::asio::awaitable<void> stop();
  void broadcast(const protocol::MediaFrame& frame) override;

  const std::string& url() const { return link_->url(); }
  // Which join of the room the socket in it now is (1 for the first), 0 while none is.
  std::uint64_t currentJoin() {
    auto session = link_->currentSession();
    return session ? session->serial() : 0;
  }

 private:
  core::AgentLog log_{"relay-media"};
  std::shared_ptr<RelayLink> link_;
  // Encoder thread only.
  std::uint64_t lastSerial_ = 0;
  bool waitingForKeyFrame_ = true;
};

}  // namespace lumora::transport
