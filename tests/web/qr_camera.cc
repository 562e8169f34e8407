#include "web/qr_camera.h"

#include <fstream>
#include <stdexcept>

#include "core/terminal_qr_code.h"

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
  if (picture.width % 2 != 0 || picture.height % 2 != 0) {
    throw std::runtime_error("4:2:0 wants an even width and height");
  }
  std::ofstream out(path, std::ios::binary);
  out << "YUV4MPEG2 W" << picture.width << " H" << picture.height << " F30:1 Ip A1:1 C420jpeg\n";
  const std::string chroma(picture.width * picture.height / 2, '\x80');
  for (int frame = 0; frame < frames; ++frame) {
    out << "FRAME\n";
    out.write(reinterpret_cast<const char*>(picture.pixels.data()),
              static_cast<std::streamsize>(picture.pixels.size()));
    out.write(chroma.data(), static_cast<std::streamsize>(chroma.size()));
  }
  if (!out) throw std::runtime_error("could not write " + path);
}

}  // namespace lumora::testing_support
