#include "core/terminal_qr_code.h"

#include <qrencode.h>

#include <algorithm>
#include <memory>

namespace lumora::core::TerminalQRCode {
namespace {

struct QRcodeDeleter {
  void operator()(QRcode* code) const { QRcode_free(code); }
};

// Indexed by (upper dark ? 2 : 0) + (lower dark ? 1 : 0).
constexpr std::string_view kBlocks[4] = {
    "\u2588",  // light over light: full block
    "\u2580",  // light over dark: upper half block
    "\u2584",  // dark over light: lower half block
    " ",       // dark over dark
};

}  // namespace

std::optional<Matrix> matrix(std::string_view text) {
  std::unique_ptr<QRcode, QRcodeDeleter> code(
      QRcode_encodeData(static_cast<int>(text.size()),
                        reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M));
  if (!code || code->width < 1) return std::nullopt;
  const int width = code->width;
  Matrix modules(static_cast<std::size_t>(width),
                 std::vector<bool>(static_cast<std::size_t>(width)));
  for (int row = 0; row < width; ++row) {
    for (int column = 0; column < width; ++column) {
      // Bit 0 of each module byte is its colour; the other bits describe its role.
      modules[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] =
          (code->data[row * width + column] & 1) != 0;
    }
  }
  return modules;
}

std::optional<std::string> render(const Matrix& matrix, int quietZone) {
  if (matrix.empty() || matrix.front().empty()) return std::nullopt;
  const std::size_t q = static_cast<std::size_t>(std::max(quietZone, 0));
  const std::size_t columns = matrix.front().size() + 2 * q;
  std::size_t rows = matrix.size() + 2 * q;
  rows += rows % 2;

  // Outside the matrix (quiet zone, padding row) everything is light.
  auto dark = [&](std::size_t row, std::size_t column) {
    if (row < q || column < q) return false;
    std::size_t r = row - q;
    std::size_t c = column - q;
    if (r >= matrix.size()) return false;
    const auto& line = matrix[r];
    return c < line.size() && line[c];
  };

  std::string out;
  for (std::size_t row = 0; row < rows; row += 2) {
    if (row > 0) out.push_back('\n');
    for (std::size_t column = 0; column < columns; ++column) {
      out.append(kBlocks[(dark(row, column) ? 2 : 0) + (dark(row + 1, column) ? 1 : 0)]);
    }
  }
  return out;
}

std::optional<std::string> asciiString(std::string_view text, int quietZone) {
  auto modules = matrix(text);
  if (!modules) return std::nullopt;
  return render(*modules, quietZone);
}

}  // namespace lumora::core::TerminalQRCode
