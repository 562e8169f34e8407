#include "sdk/annexb_parser.h"

#include <algorithm>

#include "protocol/frame_codec.h"

namespace lumora::sdk::AnnexBParser {

using protocol::Bytes;
using protocol::ByteView;

std::vector<Bytes> nalUnits(ByteView data) {
  std::vector<Bytes> units;
  const std::size_t size = data.size();
  std::optional<std::size_t> start;
  auto emit = [&](std::size_t end) {
    if (start && *start < end)
      units.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(*start),
                         data.begin() + static_cast<std::ptrdiff_t>(end));
  };
  std::size_t i = 0;
  while (i < size) {
    std::size_t codeLength = 0;
    if (i + 3 < size && data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1) {
      codeLength = 4;
    } else if (i + 2 < size && data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      codeLength = 3;
    }
    if (codeLength == 0) {
      ++i;
      continue;
    }
    emit(i);
    start = i + codeLength;
    i = *start;
  }
  emit(size);
  return units;
}

std::optional<std::uint8_t> type(ByteView unit) {
  if (unit.empty()) return std::nullopt;
  return static_cast<std::uint8_t>(unit[0] & 0x1F);
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
