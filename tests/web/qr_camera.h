#pragma once

// Pictures for Chromium's fake camera (--use-file-for-fake-video-capture), which plays a Y4M
// file to getUserMedia over and over.

#include <string>
#include <vector>

namespace lumora::testing_support {

// An 8-bit gray picture, rows top first.
struct GrayPicture {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> pixels;
};

// `text` as the agent draws its pairing QR code, black on white, centred in a width × height
// picture with `moduleSize` pixels a module. Throws std::runtime_error when it does not fit.
GrayPicture qrCodePicture(const std::string& text, int width, int height, int moduleSize);

// Writes `picture` as a Y4M file of `frames` identical frames (4:2:0), by ffmpeg.
void writeY4M(const GrayPicture& picture, int frames, const std::string& path);

}  // namespace lumora::testing_support
