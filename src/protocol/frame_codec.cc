#include "protocol/frame_codec.h"

#include <boost/endian/conversion.hpp>

#include <cstring>

namespace lumora::protocol {

void FrameCodec::writeLength(std::uint32_t length, std::uint8_t* out) {
  boost::endian::store_big_u32(out, length);
}

std::uint32_t FrameCodec::readLength(const std::uint8_t* in) {
  return boost::endian::load_big_u32(in);
}

Bytes FrameCodec::encode(ByteView body) {
  Bytes frame(4 + body.size());
  writeLength(static_cast<std::uint32_t>(body.size()), frame.data());
  if (!body.empty()) std::memcpy(frame.data() + 4, body.data(), body.size());
  return frame;
}

std::size_t FrameDecoder::takeFrames(ByteView data, std::vector<Bytes>& bodies) {
  std::size_t consumed = 0;
  while (data.size() - consumed >= 4) {
    std::uint32_t length = FrameCodec::readLength(data.data() + consumed);
    if (length > maxBodyLength_) {
      failed_ = true;
      failure_ = "frame of " + std::to_string(length) + " bytes exceeds the limit of " +
                 std::to_string(maxBodyLength_) + " bytes";
      return data.size();
    }
    if (data.size() - consumed - 4 < length) break;
    const std::uint8_t* body = data.data() + consumed + 4;
    bodies.emplace_back(body, body + length);
    consumed += 4 + std::size_t{length};
  }
  return consumed;
}

std::vector<Bytes> FrameDecoder::push(ByteView chunk) {
  std::vector<Bytes> bodies;
  if (failed_) return bodies;
  pending_.feed(chunk, [&](ByteView data) { return takeFrames(data, bodies); });
  if (failed_) pending_.discard();
  return bodies;
}

}  // namespace lumora::protocol
