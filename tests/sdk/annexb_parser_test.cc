#include "sdk/annexb_parser.h"

#include <gtest/gtest.h>

namespace lumora::sdk {
namespace {

using protocol::Bytes;

TEST(AnnexBParserTest, SplitsAtThreeAndFourByteStartCodes) {
  Bytes stream = {0, 0, 0, 1, 0x67, 0xAA, 0, 0, 1, 0x68, 0xBB, 0, 0, 0, 1, 0x65, 0xCC};
  EXPECT_EQ(AnnexBParser::nalUnits(stream),
            (std::vector<Bytes>{{0x67, 0xAA}, {0x68, 0xBB}, {0x65, 0xCC}}));
}

TEST(AnnexBParserTest, IgnoresBytesOutsideUnitsAndEmptyUnits) {
  EXPECT_TRUE(AnnexBParser::nalUnits(Bytes{0x67, 0x42, 0x00, 0x1F}).empty());
  EXPECT_TRUE(AnnexBParser::nalUnits(Bytes{0, 0, 0, 1}).empty());
  EXPECT_TRUE(AnnexBParser::nalUnits(Bytes{0, 0, 1}).empty());
  EXPECT_TRUE(AnnexBParser::nalUnits(Bytes{}).empty());
  // Leading garbage, back-to-back start codes and a start code at the very end.
  EXPECT_EQ(AnnexBParser::nalUnits(Bytes{9, 9, 0, 0, 1, 0, 0, 0, 1, 0x41, 7, 0, 0, 1}),
            (std::vector<Bytes>{{0x41, 7}}));
}

TEST(AnnexBParserTest, KeepsTrailingZerosThatAreNotPartOfAStartCode) {
  // 00 00 00 01 is consumed whole, so no zero is left on the unit before it; a lone trailing
  // zero stays.
  EXPECT_EQ(AnnexBParser::nalUnits(Bytes{0, 0, 1, 0x65, 1, 0, 0, 0, 0, 1, 0x41}),
            (std::vector<Bytes>{{0x65, 1, 0}, {0x41}}));
  EXPECT_EQ(AnnexBParser::nalUnits(Bytes{0, 0, 1, 0x65, 0, 0}), (std::vector<Bytes>{{0x65, 0, 0}}));
}

TEST(AnnexBParserTest, TypeIsTheLowFiveBitsOfTheFirstByte) {
  EXPECT_EQ(AnnexBParser::type(Bytes{0x65, 0xFF}), AnnexBParser::NALType::idr);
  EXPECT_EQ(AnnexBParser::type(Bytes{0x41}), AnnexBParser::NALType::nonIDR);
  EXPECT_EQ(AnnexBParser::type(Bytes{0x67}), AnnexBParser::NALType::sps);
  EXPECT_EQ(AnnexBParser::type(Bytes{0x68}), AnnexBParser::NALType::pps);
  EXPECT_EQ(AnnexBParser::type(Bytes{}), std::nullopt);
}

TEST(AnnexBParserTest, ToAVCCPrefixesEachUnitWithItsBigEndianLength) {
  EXPECT_EQ(AnnexBParser::toAVCC({{0x67, 0xAA}, {0x68}}),
            (Bytes{0, 0, 0, 2, 0x67, 0xAA, 0, 0, 0, 1, 0x68}));
  EXPECT_TRUE(AnnexBParser::toAVCC({}).empty());
  Bytes big(70000, 0x41);
  Bytes avcc = AnnexBParser::toAVCC({big});
  EXPECT_EQ(Bytes(avcc.begin(), avcc.begin() + 4), (Bytes{0, 1, 0x11, 0x70}));
  EXPECT_EQ(avcc.size(), 70004u);
}

}  // namespace
}  // namespace lumora::sdk
