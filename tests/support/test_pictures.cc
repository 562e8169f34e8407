#include "support/test_pictures.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <stdexcept>
#include <vector>

#include "media/png_encoder.h"

namespace lumora::testing_support {

std::string writeQuadrantsPNG(const TempDir& folder, const std::string& name, int width, int height,
                              std::array<std::uint32_t, 4> colours) {
  std::vector<std::uint8_t> bgra(static_cast<std::size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::uint32_t colour = colours[(y < height / 2 ? 0 : 2) + (x < width / 2 ? 0 : 1)];
      std::uint8_t* p = bgra.data() + (static_cast<std::size_t>(y) * width + x) * 4;
      p[0] = colour & 0xFF;
      p[1] = (colour >> 8) & 0xFF;
      p[2] = (colour >> 16) & 0xFF;
      p[3] = 0xFF;
    }
  }
  const auto png = media::encodePNG(bgra.data(), width, height, width * 4, AV_PIX_FMT_RGB24);
  if (!png) throw std::runtime_error("cannot encode the test picture");
  return folder.make(name, std::string(png->begin(), png->end()));
}

}  // namespace lumora::testing_support
