#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "protocol/bytes.h"
#include "sdk/decoder_error.h"

namespace lumora::sdk {

// One decoded picture: 32-bit BGRA pixels, rows top to bottom, bytesPerRow apart. The decoder
// reuses its buffer: a handler that keeps a picture beyond its call copies it.
struct DecodedPicture {
  int width = 0;
  int height = 0;
  int bytesPerRow = 0;
  protocol::Bytes pixels;
};

// Decodes the agent's H.264 stream (one Annex B access unit per media frame payload) into
// BGRA pictures. A decoder session is built from the first key frame's parameter sets and
// rebuilt whenever a key frame carries different ones (the agent changes resolution that way).
//
// decode() and finish() may be called from any thread and are serialised; decode is meant to
// be called in stream order. onDecoded runs synchronously inside decode() (and finish()), on
// the caller's thread, and must not call back into the same decoder.
class VideoDecoder {
 public:
  using DecodedHandler = std::function<void(const DecodedPicture& picture, std::uint64_t frameID)>;

  VideoDecoder();
  ~VideoDecoder();
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  void setOnDecoded(DecodedHandler onDecoded);

  // Decodes one access unit; every picture it completes goes to onDecoded with `frameID`.
  // Throws DecoderError; after a failure the caller typically waits for the next key frame.
  // A buffer holding no NAL unit, or only parameter sets, decodes nothing and succeeds.
  void decode(protocol::ByteView accessUnit, std::uint64_t frameID);

  // Hands out pictures still inside the decoder and drops the session; the next key frame
  // builds a new one.
  void finish();

  // How many sessions have been built so far (for diagnostics and statistics).
  std::uint64_t sessionBuildCount() const;

 private:
  class Session;

  void emitPictures(Session& session, std::uint64_t fallbackFrameID);

  mutable std::mutex lock_;  // serialises decode and finish; guards the fields below
  std::shared_ptr<Session> session_;
  std::optional<protocol::Bytes> sps_;
  std::optional<protocol::Bytes> pps_;
  DecodedHandler onDecoded_;
  std::uint64_t sessionBuilds_ = 0;
};

}  // namespace lumora::sdk
