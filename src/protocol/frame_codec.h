#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/bytes.h"
#include "protocol/limits.h"
#include "protocol/pending_bytes.h"

namespace lumora::protocol {

// Control-channel framing: a 4-byte big-endian body length, then the body.
namespace FrameCodec {

// The frame for one body (shorter than 4 GiB).
Bytes encode(ByteView body);

// Writes the 4-byte big-endian prefix for `length` to `out`.
void writeLength(std::uint32_t length, std::uint8_t* out);
std::uint32_t readLength(const std::uint8_t* in);

}  // namespace FrameCodec

// One frame on its way out, held as its prefix and its body so that a gathering write sends the
// body where it lies instead of copying it behind the prefix (file chunks run to megabytes).
struct OutgoingFrame {
  explicit OutgoingFrame(Bytes frameBody) : body(std::move(frameBody)) {
    FrameCodec::writeLength(static_cast<std::uint32_t>(body.size()), prefix.data());
  }
  std::size_t size() const { return prefix.size() + body.size(); }

  std::array<std::uint8_t, 4> prefix{};
  Bytes body;
};

// Cuts one direction of one connection back into frame bodies, whatever pieces the bytes
// arrive in. A prefix announcing more than the configured maximum puts the decoder into a
// failed state, in which it drops everything; its owner reads failed() and closes the
// connection. It never buffers toward an oversized frame.
//
// Not thread-safe: fed from one connection's serial read path.
class FrameDecoder {
 public:
  // Large enough for any envelope the agent or a client builds, small enough that a hostile
  // prefix cannot claim gigabytes.
  static constexpr std::uint32_t kDefaultMaxBodyLength = kMaxFrameBodyLength;

  explicit FrameDecoder(std::uint32_t maxBodyLength = kDefaultMaxBodyLength)
      : maxBodyLength_(maxBodyLength) {}

  // Every body completed by `chunk`, in arrival order (possibly none).
  std::vector<Bytes> push(ByteView chunk);

  bool failed() const { return failed_; }
  // Why the decoder failed, for the owner's log; empty while healthy.
  const std::string& failure() const { return failure_; }
  std::uint32_t maxBodyLength() const { return maxBodyLength_; }
  // Applies to prefixes read from now on (a connection allows more once authenticated).
  void setMaxBodyLength(std::uint32_t length) { maxBodyLength_ = length; }
  // Bytes received and not yet returned as a body.
  std::size_t bufferedByteCount() const { return pending_.size(); }

 private:
  // Takes whole frames from the front of `data`; returns the number of bytes consumed.
  std::size_t takeFrames(ByteView data, std::vector<Bytes>& bodies);

  std::uint32_t maxBodyLength_;
  PendingBytes pending_;
  bool failed_ = false;
  std::string failure_;
};

}  // namespace lumora::protocol
