#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/bytes.h"
#include "protocol/decode_result.h"
#include "protocol/input_screen_payloads.h"
#include "protocol/pending_bytes.h"

namespace lumora::protocol {

// One encoded picture on the media channel with the header that describes it.
struct MediaFrame {
  ScreenFrameMeta meta;
  Bytes payload;
  bool operator==(const MediaFrame&) const = default;
};

// Wire form: header length M, the header as JSON, payload length P, the payload; both lengths
// 4-byte big-endian.
namespace MediaFrameCodec {

Bytes encode(const MediaFrame& frame);

// The header JSON alone, as it stands in every frame.
Bytes encodeHeader(const ScreenFrameMeta& meta);
DecodeResult<ScreenFrameMeta> decodeHeader(ByteView json);

}  // namespace MediaFrameCodec

// Cuts a media byte stream back into frames. A complete frame whose header does not decode is
// skipped (its size is known from its two lengths) and counted, so one bad frame costs one
// picture instead of the rest of the stream. A header or payload length beyond the limits
// puts the decoder into a failed state that its owner reads to close the connection.
//
// Not thread-safe: fed from one connection's serial read path.
class MediaFrameDecoder {
 public:
  static constexpr std::uint32_t kMaxHeaderLength = 64u << 10;
  // An H.264 picture of a 4K screen at a generous bit rate stays well below this.
  static constexpr std::uint32_t kDefaultMaxPayloadLength = 32u << 20;

  explicit MediaFrameDecoder(std::uint32_t maxPayloadLength = kDefaultMaxPayloadLength,
                             std::uint32_t maxHeaderLength = kMaxHeaderLength)
      : maxPayloadLength_(maxPayloadLength), maxHeaderLength_(maxHeaderLength) {}

  std::vector<MediaFrame> push(ByteView chunk);

  bool failed() const { return failed_; }
  const std::string& failure() const { return failure_; }
  // Complete frames dropped because their header did not decode.
  std::uint64_t skippedFrameCount() const { return skipped_; }
  // Why the most recent frame was skipped; empty when none was.
  const std::string& lastSkipReason() const { return lastSkipReason_; }

 private:
  std::size_t takeFrames(ByteView data, std::vector<MediaFrame>& frames);
  void fail(std::string reason);

  std::uint32_t maxPayloadLength_;
  std::uint32_t maxHeaderLength_;
  PendingBytes pending_;
  bool failed_ = false;
  std::string failure_;
  std::uint64_t skipped_ = 0;
  std::string lastSkipReason_;
};

}  // namespace lumora::protocol
