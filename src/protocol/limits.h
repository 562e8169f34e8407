#pragma once

#include <cstddef>
#include <cstdint>

// Sizes both ends of the control channel agree on, so that neither builds a message the other
// refuses.
namespace lumora::protocol {

// The longest frame body accepted from an authenticated peer, in either direction. A longer
// prefix closes the connection, so every reply must stay below it.
inline constexpr std::uint32_t kMaxFrameBodyLength = 64u << 20;

// The most one reply's content may take once written into its envelope (Base64 for bytes,
// escaped JSON for text): a clipboard file, image or text, or a command's two output streams
// together. The last quarter of a frame stays free for the rest of the envelope.
inline constexpr std::size_t kMaxEncodedContentLength = 48u << 20;

// The most bytes one reply carries as Base64: a clipboard file or image (36 MiB).
inline constexpr std::size_t kMaxBinaryContentBytes = kMaxEncodedContentLength / 4 * 3;

// The most one file.download reply carries (16 MiB, about 22 MiB in Base64); a longer length
// asked for is cut to it, and an upload chunk larger than it gains nothing.
inline constexpr std::int64_t kMaxFileChunkLength = 16 << 20;

// The longest message a relay carries unless its operator sets another bound: the relay ends
// a sender of a longer one, so the agent answers with an error rather than send it.
inline constexpr std::size_t kMaxRelayMessageBytes = 16u << 20;

}  // namespace lumora::protocol
