#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <cstdint>
#include <optional>

#include "protocol/bytes.h"

namespace lumora::media {

// A PNG of `picture`, whatever its pixel format, stored as `stored` (AV_PIX_FMT_RGB24 for screens,
// AV_PIX_FMT_RGBA to keep transparency); libswscale does the conversion. Nothing when FFmpeg
// cannot convert or encode it. Safe to call from any thread.
std::optional<protocol::Bytes> encodePNG(const AVFrame& picture, AVPixelFormat stored);

// The same for packed BGRA pixels, `bytesPerRow` apart, as screens are captured and decoded.
std::optional<protocol::Bytes> encodePNG(const std::uint8_t* bgra, int width, int height,
                                         int bytesPerRow, AVPixelFormat stored);

}  // namespace lumora::media
