#pragma once

#include <string>

#include "protocol/bytes.h"
#include "sdk/video_decoder.h"

namespace lumora::cli {

// The picture as PNG bytes (8-bit RGB). Throws Failure when the encoder refuses it.
protocol::Bytes encodePNG(const sdk::DecodedPicture& picture);

}  // namespace lumora::cli
