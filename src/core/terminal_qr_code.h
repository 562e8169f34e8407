#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumora::core {

// QR codes for the pairing link: a module matrix for windows to draw, and block characters for
// a terminal (two module rows per text line, light modules drawn in the foreground colour, so
// the code reads on a dark terminal).
namespace TerminalQRCode {

// Rows top first, modules left first; true = dark.
using Matrix = std::vector<std::vector<bool>>;

// The symbol for `text` as UTF-8 bytes in byte mode at error correction level M, without a
// quiet zone. No value when the text cannot be encoded (too long for any QR version).
std::optional<Matrix> matrix(std::string_view text);

// Block-character picture of `matrix` with `quietZone` light modules around it (negative
// counts as 0). No value for a matrix without rows or with an empty first row.
std::optional<std::string> render(const Matrix& matrix, int quietZone);

std::optional<std::string> asciiString(std::string_view text, int quietZone);

}  // namespace TerminalQRCode

}  // namespace lumora::core
