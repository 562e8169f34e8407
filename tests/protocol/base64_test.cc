#include <gtest/gtest.h>

#include <random>
#include <string_view>

#include "protocol/base64.h"

namespace lumora::protocol {
namespace {

TEST(Base64Test, AnythingButPaddedStandardBase64IsRefused) {
  for (const std::string& bad : std::vector<std::string>{
           "Zg", "Zg=", "Zm9vY", "Z===", "Zg==Zg==", "Zm=v", " Zm9v", "Zm9v ", "Zm9v\n", "Zm 9v"}) {
    EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
  }
  // White space inside, wherever the coder splits the text.
  for (std::size_t blocks = 0; blocks <= 4; ++blocks) {
    const std::string bulk(16 * blocks, 'Q');
    EXPECT_FALSE(base64Decode(bulk + "    QUJD").has_value()) << blocks;
    EXPECT_FALSE(base64Decode(bulk + "QUJD    QUJD").has_value()) << blocks;
    EXPECT_FALSE(base64Decode(bulk + "QUJDQUJD\n\n\n\nQUJD").has_value()) << blocks;
  }
}

// A plain reading of the standard: the value of each alphabet character, -1 for the rest.
int valueOf(char c) {
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  auto at = kAlphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

std::string referenceEncode(const Bytes& data) {
  constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::size_t left = std::min<std::size_t>(3, data.size() - i);
    std::uint32_t group = data[i] << 16;
    if (left > 1) group |= data[i + 1] << 8;
    if (left > 2) group |= data[i + 2];
    for (std::size_t k = 0; k < 4; ++k) {
      text += k <= left ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=';
    }
  }
  return text;
}

Bytes randomBytes(std::size_t size, std::mt19937& random) {
  Bytes data(size);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
  return data;
}

// Lengths on both sides of every 12-byte / 16-character block and of the portable tail.
TEST(Base64Test, EveryLengthMatchesTheStandardBothWays) {
  std::mt19937 random(7);
  for (std::size_t size = 0; size <= 400; ++size) {
    const Bytes data = randomBytes(size, random);
    const std::string text = base64Encode(data);
    ASSERT_EQ(text, referenceEncode(data)) << size << " bytes";
    ASSERT_EQ(base64Decode(text), data) << size << " bytes";
  }
}

// One wrong character anywhere, in the block-coded bulk or in the tail, refuses the whole text;
// any alphabet character in its place decodes to its own value.
TEST(Base64Test, EveryByteValueAtEveryPositionIsJudgedByTheAlphabet) {
  std::mt19937 random(11);
  const std::string clean = base64Encode(randomBytes(60, random));  // 80 characters
  for (std::size_t position = 0; position < clean.size(); ++position) {
    for (int value = 0; value < 256; ++value) {
      if (value == '=' && position + 1 == clean.size()) continue;  // padding, valid there
      std::string text = clean;
      text[position] = static_cast<char>(value);
      const auto decoded = base64Decode(text);
      const int sextet = valueOf(text[position]);
      if (sextet < 0) {
        ASSERT_FALSE(decoded.has_value()) << "byte " << value << " at " << position;
        continue;
      }
      ASSERT_TRUE(decoded.has_value()) << "byte " << value << " at " << position;
      // The one changed sextet, read back out of the three bytes of its group.
      const std::size_t group = position / 4 * 3;
      const std::uint32_t bits =
          ((*decoded)[group] << 16) | ((*decoded)[group + 1] << 8) | (*decoded)[group + 2];
      ASSERT_EQ(static_cast<int>((bits >> (18 - 6 * (position % 4))) & 63), sextet);
    }
  }
}

}  // namespace
}  // namespace lumora::protocol
