#include "protocol/annex_b.h"

#include <iterator>

namespace lumora::protocol {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Index of the next 00 00 01 at or after `from`, or kNone.
std::size_t findThreeByteCode(ByteView stream, std::size_t from) {
  for (std::size_t i = from; i + 3 <= stream.size(); ++i) {
    if (stream[i + 2] > 1) {
      i += 2;  // neither of the next two positions can begin 00 00 01 either
    } else if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      return i;
    }
  }
  return kNone;
}

}  // namespace

std::vector<ByteView> splitAnnexB(ByteView stream) {
  std::vector<ByteView> units;
  std::size_t unitStart = kNone;
  std::size_t scanFrom = 0;
  for (;;) {
    const std::size_t three = findThreeByteCode(stream, scanFrom);
    if (three == kNone) break;
    // A 4-byte code is a 3-byte one with a zero in front, when that zero is not already taken.
    const bool four = three > scanFrom && stream[three - 1] == 0;
    const std::size_t codeStart = four ? three - 1 : three;
    if (unitStart != kNone && unitStart < codeStart) {
      units.push_back(stream.subspan(unitStart, codeStart - unitStart));
    }
    unitStart = three + 3;
    scanFrom = unitStart;
  }
  if (unitStart < stream.size()) units.push_back(stream.subspan(unitStart));
  return units;
}

void appendNal(Bytes& out, ByteView nal) {
  static constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};
  out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
  out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace lumora::protocol
