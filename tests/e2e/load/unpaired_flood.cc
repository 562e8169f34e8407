#include "unpaired_flood.h"

#include <chrono>
#include <system_error>

#include "protocol/envelope.h"
#include "protocol/frame_codec.h"

namespace lumora::load {

namespace {

using namespace std::chrono_literals;

// Every tick each drip sends one byte and the trickle adds one newcomer of each kind.
constexpr auto kTick = 100ms;

protocol::Bytes pingFrame() {
  return protocol::FrameCodec::encode(
      protocol::Envelope::request(protocol::PingRequest{}).encode());
}

// A well-formed ticket frame carrying a ticket that was never issued.
protocol::Bytes unissuedTicketFrame() {
  protocol::Bytes frame = {0, 0, 0, 64};
  frame.resize(4 + 64, 'a');
  return frame;
}

}  // namespace

UnpairedFlood::UnpairedFlood(std::uint16_t controlPort, std::uint16_t mediaPort, Size burst)
    : controlPort_(controlPort),
      mediaPort_(mediaPort),
      controlFrame_(pingFrame()),
      ticketFrame_(unissuedTicketFrame()) {
  for (int i = 0; i < burst.idleControl; ++i) openIdle(controlPort_, idleControl_);
  for (int i = 0; i < burst.idleMedia; ++i) openIdle(mediaPort_, idleMedia_);
  for (int i = 0; i < burst.dripControl; ++i) openDrip(controlPort_, &controlFrame_);
  for (int i = 0; i < burst.dripMedia; ++i) openDrip(mediaPort_, &ticketFrame_);
  thread_ = std::thread([this] { run(); });
}

UnpairedFlood::~UnpairedFlood() { stop(); }

void UnpairedFlood::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<RawClient> UnpairedFlood::takeOldestIdleControl(std::size_t count) {
  std::lock_guard guard(lock_);
  count = std::min(count, idleControl_.size());
  std::vector<RawClient> taken(std::make_move_iterator(idleControl_.begin()),
                               std::make_move_iterator(idleControl_.begin() + count));
  idleControl_.erase(idleControl_.begin(), idleControl_.begin() + count);
  return taken;
}

std::vector<RawClient> UnpairedFlood::takeOldestIdleMedia(std::size_t count) {
  std::lock_guard guard(lock_);
  count = std::min(count, idleMedia_.size());
  std::vector<RawClient> taken(std::make_move_iterator(idleMedia_.begin()),
                               std::make_move_iterator(idleMedia_.begin() + count));
  idleMedia_.erase(idleMedia_.begin(), idleMedia_.begin() + count);
  return taken;
}

void UnpairedFlood::openIdle(std::uint16_t port, std::vector<RawClient>& into) {
  RawClient connection(port);
  std::lock_guard guard(lock_);
  into.push_back(std::move(connection));
  ++opened_;
}

void UnpairedFlood::openDrip(std::uint16_t port, const protocol::Bytes* frame) {
  RawClient connection(port);
  std::lock_guard guard(lock_);
  drips_.push_back({std::move(connection), frame});
  ++opened_;
}

void UnpairedFlood::run() {
  while (!stopping_) {
    std::this_thread::sleep_for(kTick);
    {
      std::lock_guard guard(lock_);
      for (auto& drip : drips_) {
        // A drip the agent has dropped keeps trying; the send just fails.
        if (drip.sent < drip.frame->size()) {
          drip.connection.trySend(protocol::ByteView(drip.frame->data() + drip.sent, 1));
          ++drip.sent;
        }
      }
    }
    try {
      openIdle(controlPort_, idleControl_);
      openIdle(mediaPort_, idleMedia_);
      openDrip(controlPort_, &controlFrame_);
      openDrip(mediaPort_, &ticketFrame_);
    } catch (const std::system_error&) {
      ++refused_;
    }
  }
}

}  // namespace lumora::load
