#include "sdk/annexb_parser.h"

#include <gtest/gtest.h>

namespace lumora::sdk {
namespace {

using protocol::Bytes;

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
