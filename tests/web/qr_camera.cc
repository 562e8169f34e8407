#include "web/qr_camera.h"

#include <fstream>
#include <stdexcept>

#include "core/terminal_qr_code.h"
#include "support/spawn.h"

namespace lumora::testing_support {

GrayPicture qrCodePicture(const std::string& text, int width, int height, int moduleSize) {
  const auto matrix = core::TerminalQRCode::matrix(text);
  if (!matrix) throw std::runtime_error("no QR code holds " + text);
  const int modules = static_cast<int>(matrix->size());
  const int side = modules * moduleSize;
  // A scanner wants four light modules around the symbol.
  if (side + 8 * moduleSize > width || side + 8 * moduleSize > height) {
    throw std::runtime_error("the QR code does not fit the picture");
  }
  GrayPicture picture{width, height, std::vector<unsigned char>(width * height, 0xff)};
  const int left = (width - side) / 2;
  const int top = (height - side) / 2;
  for (int row = 0; row < modules; ++row) {
    for (int column = 0; column < modules; ++column) {
      if (!(*matrix)[row][column]) continue;
      for (int y = 0; y < moduleSize; ++y) {
        const int at = (top + row * moduleSize + y) * width + left + column * moduleSize;
        std::fill_n(picture.pixels.begin() + at, moduleSize, 0);
      }
    }
  }
  return picture;
}

void writeY4M(const GrayPicture& picture, int frames, const std::string& path) {
  const std::string gray = path + ".pgm";
  std::ofstream(gray, std::ios::binary)
      << "P5 " << picture.width << " " << picture.height << " 255\n"
      << std::string(picture.pixels.begin(), picture.pixels.end());
  const auto run = runProgram({"ffmpeg", "-loglevel", "error", "-y", "-loop", "1", "-i", gray,
                               "-frames:v", std::to_string(frames), "-pix_fmt", "yuv420p", path});
  if (run.exitCode != 0) throw std::runtime_error("ffmpeg could not write " + path);
}

}  // namespace lumora::testing_support
