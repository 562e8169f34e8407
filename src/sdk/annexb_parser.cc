#include "sdk/annexb_parser.h"

#include <algorithm>

#include "protocol/annex_b.h"
#include "protocol/frame_codec.h"

namespace lumora::sdk::AnnexBParser {

using protocol::Bytes;
using protocol::ByteView;

std::vector<Bytes> nalUnits(ByteView data) {
  std::vector<Bytes> units;
  for (const ByteView unit : protocol::splitAnnexB(data))
    units.emplace_back(unit.begin(), unit.end());
  return units;
}

Bytes toAVCC(const std::vector<Bytes>& units) {
  std::size_t total = 0;
  for (const Bytes& unit : units) total += 4 + unit.size();
  Bytes out(total);
  std::uint8_t* cursor = out.data();
  for (const Bytes& unit : units) {
    protocol::FrameCodec::writeLength(static_cast<std::uint32_t>(unit.size()), cursor);
    std::copy(unit.begin(), unit.end(), cursor + 4);
    cursor += 4 + unit.size();
  }
  return out;
}

}  // namespace lumora::sdk::AnnexBParser
