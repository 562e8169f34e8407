#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "protocol/pairing_secret.h"
#include "transport/media_sink.h"
#include "transport/relay_link.h"

namespace lumora::transport {

class RelayProtection;

// A media sink beside the media server: publishes the screen stream in the agent's relay media
// room to a viewer that has proven the pairing secret there (RelayProtection), one sealed media
// frame per binary WebSocket message. Until such a viewer is in the room no frame leaves for the
// relay: frames are dropped here, whoever else watches the stream directly. A viewer starts at a
// key frame (the owner is told when one arrives, so that it can ask the encoder for one at once),
// and so does one whose frames were dropped while more than the link's queue limit waited to be
// written (the relay is behind). Nothing else the viewer sends is used.
//
// Threads: construct, setOnViewerChanged, connect and stop from one thread (the runtime's);
// broadcast from the encoder's thread.
class RelayMediaPublisher : public MediaSink {
 public:
  // Called with true once a viewer has proven the secret, with false when it leaves; runs on
  // the room's strand.
  using OnViewerChanged = std::function<void(bool present)>;

  RelayMediaPublisher(boost::asio::any_io_executor executor, std::string url,
                      protocol::PairingSecret secret,
                      RelayLink::Options options = RelayLink::Options());
  ~RelayMediaPublisher() override;

  // Set before connect().
  void setOnViewerChanged(OnViewerChanged onViewerChanged);
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
  // Whether a viewer that proved the secret is in the room now.
  bool hasViewer() const;

  // Who may be sent frames: the proven viewer of the current session, if any.
  struct Viewers;

 private:
  core::AgentLog log_{"relay-media"};
  std::shared_ptr<Viewers> viewers_;
  std::shared_ptr<RelayLink> link_;
  // Encoder thread only.
  std::uint64_t lastViewer_ = 0;
  bool waitingForKeyFrame_ = true;
};

}  // namespace lumora::transport
