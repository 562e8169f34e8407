#include "transport/relay_media_publisher.h"

#include <algorithm>
#include <mutex>

#include "transport/relay_protection.h"

namespace lumora::transport {

namespace asio = boost::asio;
using protocol::Bytes;

struct RelayMediaPublisher::Viewers {
  struct Current {
    std::shared_ptr<RelayProtection> viewer;
    std::uint64_t serial = 0;  // which viewer of the publisher's this is
  };
  mutable std::mutex lock;  // guards `current`
  Current current;
  OnViewerChanged onChanged;  // set before the first session

  Current get() const {
    std::lock_guard guard(lock);
    return current;
  }
  void set(std::shared_ptr<RelayProtection> viewer) {
    const bool present = viewer != nullptr;
    {
      std::lock_guard guard(lock);
      current.viewer = std::move(viewer);
      ++current.serial;
    }
    if (onChanged) onChanged(present);
  }
};

namespace {

// One viewer's session in the media room: the relay handshake, after which the viewer may be
// sent frames. What it sends afterwards is opened (a message that does not open ends the
// session) and otherwise ignored.
class MediaRoomSession : public RelaySessionHandler {
 public:
  MediaRoomSession(std::shared_ptr<RelaySession> session, RelayProtection::Options protection,
                   std::shared_ptr<RelayMediaPublisher::Viewers> viewers)
      : protection_(RelayProtection::make(std::move(session), std::move(protection))),
        viewers_(std::move(viewers)) {}

  void noticed(std::string_view text) override { protection_->noticed(text); }

  asio::awaitable<void> received(Bytes message) override {
    co_await protection_->receive(std::move(message));
    if (protection_->proven() && !watching_) {
      watching_ = true;
      protection_->paired();
      viewers_->set(protection_);
    }
  }

  void ended() override {
    if (watching_) viewers_->set(nullptr);
  }

 private:
  std::shared_ptr<RelayProtection> protection_;
  std::shared_ptr<RelayMediaPublisher::Viewers> viewers_;
  bool watching_ = false;
};

}  // namespace

RelayMediaPublisher::RelayMediaPublisher(asio::any_io_executor executor, std::string url,
                                         protocol::PairingSecret secret, RelayLink::Options options)
    : viewers_(std::make_shared<Viewers>()) {
  RelayProtection::Options protection;
  protection.secret = std::move(secret);
  protection.channel = protocol::RelayChannel::media;
  protection.throttle = std::make_shared<ProofThrottle>();
  protection.pairingTimeout = options.pairingTimeout;
  options.roomKey = protocol::RoomKey::derive(protection.secret);
  // A viewer sends the handshake and nothing else.
  options.maxMessageBytes = std::min<std::size_t>(options.maxMessageBytes, 1024);
  link_ = std::make_shared<RelayLink>(
      std::move(executor), std::move(url), "relay-media", options,
      [protection, viewers = viewers_](std::shared_ptr<RelaySession> session) {
        return std::make_unique<MediaRoomSession>(std::move(session), protection, viewers);
      });
}

RelayMediaPublisher::~RelayMediaPublisher() { link_->stopSoon(); }

void RelayMediaPublisher::setOnViewerChanged(OnViewerChanged onViewerChanged) {
  viewers_->onChanged = std::move(onViewerChanged);
}

void RelayMediaPublisher::connect() {
  link_->start();
  log_.info("relay media publisher joined " + link_->url());
}

asio::awaitable<void> RelayMediaPublisher::stop() { co_await link_->stop(); }

bool RelayMediaPublisher::hasViewer() const { return viewers_->get().viewer != nullptr; }

void RelayMediaPublisher::broadcast(const protocol::MediaFrame& frame) {
  auto [viewer, serial] = viewers_->get();
  if (!viewer) return;
  if (serial != lastViewer_) {
    lastViewer_ = serial;
    waitingForKeyFrame_ = true;
  }
  if (!viewer->hasRoom()) {
    waitingForKeyFrame_ = true;
    return;
  }
  if (waitingForKeyFrame_ && !frame.meta.isKeyframe) return;
  waitingForKeyFrame_ = false;
  viewer->send(protocol::MediaFrameCodec::encode(frame));
}

}  // namespace lumora::transport
