#include "services/screen/annex_b.h"

#include <iterator>

namespace lumora::services::screen {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Index of the next 00 00 01 at or after `from`, or kNone.
std::size_t findStartCode(protocol::ByteView stream, std::size_t from) {
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

std::vector<protocol::ByteView> splitAnnexB(protocol::ByteView stream) {
  std::vector<protocol::ByteView> units;
  std::size_t code = findStartCode(stream, 0);
  while (code != kNone) {
    const std::size_t start = code + 3;
    code = findStartCode(stream, start);
    // A 4-byte start code (or trailing_zero_8bits) leaves zeros behind the unit: not its own.
    std::size_t end = code == kNone ? stream.size() : code;
    while (end > start && stream[end - 1] == 0) --end;
    if (end > start) units.push_back(stream.subspan(start, end - start));
  }
  return units;
}

void appendNal(protocol::Bytes& out, protocol::ByteView nal) {
  static constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};
  out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
  out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace lumora::services::screen
