#include "web/qr_camera.h"

#include <fstream>
#include <stdexcept>

#include "core/terminal_qr_code.h"
#include "support/spawn.h"

namespace lumora::testing_support {

void writeQRCodeY4M(const std::string& text, const std::string& path) {
  const auto matrix = core::TerminalQRCode::matrix(text);
  if (!matrix) throw std::runtime_error("no QR code holds " + text);
  // One pixel a module; ffmpeg enlarges it without smoothing and pads it with white.
  const std::string modules = path + ".pgm";
  {
    std::ofstream pgm(modules, std::ios::binary);
    pgm << "P5 " << matrix->size() << " " << matrix->size() << " 255\n";
    for (const auto& row : *matrix) {
      for (const bool dark : row) pgm.put(dark ? '\0' : '\xff');
    }
  }
  const std::string side = std::to_string(matrix->size() * 6);
  const auto run = runProgram(
      {"ffmpeg", "-loglevel", "error", "-y", "-loop", "1", "-i", modules, "-vf",
       "scale=" + side + ":" + side + ":flags=neighbor,pad=640:480:(ow-iw)/2:(oh-ih)/2:white",
       "-frames:v", "2", "-pix_fmt", "yuv420p", path});
  if (run.exitCode != 0) throw std::runtime_error("ffmpeg could not write " + path);
}

}  // namespace lumora::testing_support
