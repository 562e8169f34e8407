#include "protocol/media_frame.h"

#include <cstring>

#include "protocol/frame_codec.h"
#include "protocol/json_record_codec.h"
#include "protocol/json_text.h"

namespace lumora::protocol {

Bytes MediaFrameCodec::encodeHeader(const ScreenFrameMeta& meta) {
  return json_text::serialize(json_codec::encodeRecord(meta));
}

DecodeResult<ScreenFrameMeta> MediaFrameCodec::decodeHeader(ByteView json) {
  json_text::ScratchArena arena;
  auto parsed = json_text::parse(asText(json), arena.storage());
  if (!parsed) return parsed.error();
  ScreenFrameMeta meta;
  json_codec::Failure failure;
  if (!json_codec::decodeRecord(*parsed, meta, failure)) return DecodeError{failure.describe()};
  return meta;
}

Bytes MediaFrameCodec::encode(const MediaFrame& frame) {
  Bytes header = encodeHeader(frame.meta);
  Bytes out(8 + header.size() + frame.payload.size());
  std::uint8_t* cursor = out.data();
  FrameCodec::writeLength(static_cast<std::uint32_t>(header.size()), cursor);
  std::memcpy(cursor + 4, header.data(), header.size());
  cursor += 4 + header.size();
  FrameCodec::writeLength(static_cast<std::uint32_t>(frame.payload.size()), cursor);
  if (!frame.payload.empty()) std::memcpy(cursor + 4, frame.payload.data(), frame.payload.size());
  return out;
}

void MediaFrameDecoder::fail(std::string reason) {
  failed_ = true;
  failure_ = std::move(reason);
}

std::size_t MediaFrameDecoder::takeFrames(ByteView data, std::vector<MediaFrame>& frames) {
  std::size_t consumed = 0;
  while (true) {
    std::size_t available = data.size() - consumed;
    const std::uint8_t* front = data.data() + consumed;
    if (available < 4) break;
    std::uint32_t headerLength = FrameCodec::readLength(front);
    if (headerLength > maxHeaderLength_) {
      fail("media frame header of " + std::to_string(headerLength) +
           " bytes exceeds the limit of " + std::to_string(maxHeaderLength_) + " bytes");
      return data.size();
    }
    if (available < 8 + std::size_t{headerLength}) break;
    std::uint32_t payloadLength = FrameCodec::readLength(front + 4 + headerLength);
    if (payloadLength > maxPayloadLength_) {
      fail("media frame payload of " + std::to_string(payloadLength) +
           " bytes exceeds the limit of " + std::to_string(maxPayloadLength_) + " bytes");
      return data.size();
    }
    std::size_t total = 8 + std::size_t{headerLength} + payloadLength;
    if (available < total) break;

    auto meta = MediaFrameCodec::decodeHeader(ByteView(front + 4, headerLength));
    if (meta) {
      const std::uint8_t* payload = front + 8 + headerLength;
      frames.push_back(
          MediaFrame{std::move(meta).value(), Bytes(payload, payload + payloadLength)});
    } else {
      ++skipped_;
      lastSkipReason_ = meta.error().description;
    }
    consumed += total;
  }
  return consumed;
}

std::vector<MediaFrame> MediaFrameDecoder::push(ByteView chunk) {
  std::vector<MediaFrame> frames;
  if (failed_) return frames;
  pending_.feed(chunk, [&](ByteView data) { return takeFrames(data, frames); });
  if (failed_) pending_.discard();
  return frames;
}

}  // namespace lumora::protocol
