#include "core/terminal_qr_code.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/qr_scan.h"

namespace lumora::core {
namespace {

using TerminalQRCode::Matrix;

TEST(TerminalQRCodeTest, RendersPairsOfRowsAsHalfBlocks) {
  const Matrix oneDark = {{true}};
  EXPECT_EQ(TerminalQRCode::render(oneDark, 0), "\u2584");
  EXPECT_EQ(TerminalQRCode::render(oneDark, 1), "\u2588\u2580\u2588\n\u2588\u2588\u2588");
  EXPECT_EQ(TerminalQRCode::render(oneDark, -3), "\u2584");

  const Matrix twoLight = {{false, false, false}, {false, false, false}};
  EXPECT_EQ(TerminalQRCode::render(twoLight, 0), "\u2588\u2588\u2588");

  // Every pairing of upper and lower module.
  const Matrix mixed = {{false, false, true, true}, {false, true, false, true}};
  EXPECT_EQ(TerminalQRCode::render(mixed, 0), "\u2588\u2580\u2584 ");

  EXPECT_FALSE(TerminalQRCode::render({}, 1));
  EXPECT_FALSE(TerminalQRCode::render({{}}, 1));
}

// Reads a QR code back from the matrix with an independent decoder, as a phone camera would.
std::string scan(const Matrix& modules) {
  const int scale = 4;
  const int border = 4;
  const int side = (static_cast<int>(modules.size()) + 2 * border) * scale;
  std::vector<unsigned char> gray(static_cast<std::size_t>(side * side), 255);
  for (std::size_t r = 0; r < modules.size(); ++r) {
    for (std::size_t c = 0; c < modules[r].size(); ++c) {
      if (!modules[r][c]) continue;
      for (int y = 0; y < scale; ++y) {
        for (int x = 0; x < scale; ++x) {
          int py = (static_cast<int>(r) + border) * scale + y;
          int px = (static_cast<int>(c) + border) * scale + x;
          gray[static_cast<std::size_t>(py * side + px)] = 0;
        }
      }
    }
  }
  return testing_support::scanQRCode(gray, side, side).value_or("");
}

TEST(TerminalQRCodeTest, MatrixScansBackToTheText) {
  const std::string link =
      "lumora://pair?host=100.64.0.12&cp=47800&mp=47801&code=0123456789abcdef0123456789abcdef";
  auto modules = TerminalQRCode::matrix(link);
  ASSERT_TRUE(modules.has_value());
  EXPECT_EQ(scan(*modules), link);

  // A text that is not plain ASCII goes in as its UTF-8 bytes.
  auto accented = TerminalQRCode::matrix("café ✓");
  ASSERT_TRUE(accented.has_value());
  EXPECT_EQ(scan(*accented), "café ✓");
  // Beyond the capacity of the largest symbol there is no code.
  EXPECT_FALSE(TerminalQRCode::asciiString(std::string(4000, 'x'), 1).has_value());
}

}  // namespace
}  // namespace lumora::core
