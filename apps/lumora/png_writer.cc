#include "png_writer.h"

#include "failure.h"
#include "media/png_encoder.h"

namespace lumora::cli {

protocol::Bytes encodePNG(const sdk::DecodedPicture& picture) {
  // A screen has no transparency worth keeping: RGB makes the smaller file.
  auto png = media::encodePNG(picture.pixels.data(), picture.width, picture.height,
                              picture.bytesPerRow, AV_PIX_FMT_RGB24);
  if (!png) {
    throw Failure("cannot write PNG of " + std::to_string(picture.width) + "x" +
                  std::to_string(picture.height));
  }
  return std::move(*png);
}

}  // namespace lumora::cli
