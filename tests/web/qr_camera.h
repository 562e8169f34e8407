#pragma once

// A picture for Chromium's fake camera (--use-file-for-fake-video-capture), which plays a Y4M
// file to getUserMedia over and over.

#include <string>

namespace lumora::testing_support {

// Writes `text` as the agent draws its pairing QR code, black on white at 6 pixels a module,
// centred in a 640×480 Y4M file of two frames. Throws std::runtime_error when it cannot.
void writeQRCodeY4M(const std::string& text, const std::string& path);

}  // namespace lumora::testing_support
