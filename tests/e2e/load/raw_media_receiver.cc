#include "raw_media_receiver.h"

#include "protocol/frame_codec.h"

namespace lumora::load {

using Clock = std::chrono::steady_clock;

RawMediaReceiver::RawMediaReceiver(std::uint16_t mediaPort, const std::string& ticket,
                                   int receiveBuffer)
    : connection_(mediaPort, receiveBuffer) {
  connection_.trySend(protocol::FrameCodec::encode(protocol::asBytes(ticket)));
}

std::vector<protocol::ScreenFrameMeta> RawMediaReceiver::readFor(
    std::chrono::milliseconds duration) {
  std::vector<protocol::ScreenFrameMeta> metas;
  std::vector<std::uint8_t> chunk(64 << 10);
  const auto deadline = Clock::now() + duration;
  while (!broken() && Clock::now() < deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const auto got = connection_.receiveSome(chunk.data(), chunk.size(), left);
    if (!got) {
      ended_ = true;
      break;
    }
    for (auto& frame : decoder_.push(protocol::ByteView(chunk.data(), *got))) {
      metas.push_back(frame.meta);
    }
  }
  return metas;
}

}  // namespace lumora::load
