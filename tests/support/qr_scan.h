#pragma once

#include <optional>
#include <string>
#include <vector>

namespace lumora::testing_support {

// Reads the first QR code in an 8-bit gray picture (rows top first, `width` bytes each) with an
// independent decoder, as a phone's camera would; nothing when none is found.
std::optional<std::string> scanQRCode(const std::vector<unsigned char>& gray, int width,
                                      int height);

}  // namespace lumora::testing_support
