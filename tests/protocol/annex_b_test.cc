#include "protocol/annex_b.h"

#include <gtest/gtest.h>

namespace lumora::protocol {
namespace {

std::vector<Bytes> units(const Bytes& stream) {
  std::vector<Bytes> out;
  for (const auto unit : splitAnnexB(stream)) out.emplace_back(unit.begin(), unit.end());
  return out;
}

TEST(AnnexBTest, SplitsOnThreeAndFourByteStartCodesAndDropsWhatIsNotAUnit) {
  const Bytes stream = {
      0xAA, 0x00,                                // bytes before the first start code
      0x00, 0x00, 0x00, 0x01, 0x67, 0x00, 0x03,  // SPS, 4-byte code, emulation prevention inside
      0x00, 0x00, 0x01, 0x68, 0xCE,              // PPS, 3-byte code
      0x00, 0x00, 0x01,                          // an empty unit
      0x00, 0x00, 0x00, 0x01, 0x65, 0x11, 0x22,  // IDR slice ...
      0x00,                                      // ... with a trailing zero, which stays
      0x00, 0x00, 0x00, 0x01, 0x41, 0x9A};       // a slice at the very end
  const std::vector<Bytes> expected = {
      {0x67, 0x00, 0x03}, {0x68, 0xCE}, {0x65, 0x11, 0x22, 0x00}, {0x41, 0x9A}};
  EXPECT_EQ(units(stream), expected);

  Bytes rebuilt;
  for (const auto unit : splitAnnexB(stream)) appendNal(rebuilt, unit);
  const Bytes normalised = {0, 0, 0, 1, 0x67, 0x00, 0x03,        //
                            0, 0, 0, 1, 0x68, 0xCE,              //
                            0, 0, 0, 1, 0x65, 0x11, 0x22, 0x00,  //
                            0, 0, 0, 1, 0x41, 0x9A};
  EXPECT_EQ(rebuilt, normalised);
  // Back-to-back codes, a 3-byte code right behind garbage, a code at the very end.
  EXPECT_EQ(units({9, 9, 0, 0, 1, 0, 0, 0, 1, 0x41, 7, 0, 0, 1}), (std::vector<Bytes>{{0x41, 7}}));
  EXPECT_EQ(units({0, 0, 1, 0x65, 0, 0}), (std::vector<Bytes>{{0x65, 0, 0}}));
}

}  // namespace
}  // namespace lumora::protocol
