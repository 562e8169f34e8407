#pragma once

#include <optional>

#include "protocol/bytes.h"

namespace lumora::platform::x11 {

// Decodes the first picture of any image format FFmpeg reads (PNG, JPEG, BMP, GIF, TIFF,
// WebP, ...) and encodes it as PNG. Nothing when the bytes are no image, or an image larger
// than kMaxImagePixels. Safe to call from any thread.
std::optional<protocol::Bytes> convertToPNG(protocol::ByteView encoded);

// Pictures beyond this are refused rather than decoded: clipboard bytes come from other
// applications and from the peer, and a tiny file can claim an enormous canvas.
inline constexpr long long kMaxImagePixels = 64LL * 1024 * 1024;

}  // namespace lumora::platform::x11
