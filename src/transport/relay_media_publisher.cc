#include "transport/relay_media_publisher.h"

namespace lumora::transport {

namespace asio = boost::asio;
using protocol::Bytes;

namespace {

// The media room's phone sends nothing the agent uses.
class IgnoredRoomMessages : public RelaySessionHandler {
 public:
  asio::awaitable<void> received(Bytes) override { co_return; }
  void ended() override {}
};

}  // namespace

RelayMediaPublisher::RelayMediaPublisher(asio::any_io_executor executor, std::string url,
                                         RelayLink::Options options)
    : link_(std::make_shared<RelayLink>(
          std::move(executor), std::move(url), "relay-media", options,
          [](std::shared_ptr<RelaySession>) { return std::make_unique<IgnoredRoomMessages>(); })) {}

RelayMediaPublisher::~RelayMediaPublisher() { link_->stopSoon(); }

void RelayMediaPublisher::connect() {
  link_->start();
  log_.info("relay media publisher joined " + link_->url());
}

asio::awaitable<void> RelayMediaPublisher::stop() { co_await link_->stop(); }

void RelayMediaPublisher::broadcast(const protocol::MediaFrame& frame) {
  auto session = link_->currentSession();
  if (!session) return;
  if (session->serial() != lastSerial_) {
    lastSerial_ = session->serial();
    waitingForKeyFrame_ = true;
  }
  if (!session->hasRoom()) {
    waitingForKeyFrame_ = true;
    return;
  }
  if (waitingForKeyFrame_ && !frame.meta.isKeyframe) return;
  waitingForKeyFrame_ = false;
  session->send(std::make_shared<const Bytes>(protocol::MediaFrameCodec::encode(frame)));
}

}  // namespace lumora::transport
