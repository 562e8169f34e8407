// Cuts the input as a viewer cuts a media frame's payload into NAL units, and checks that the
// units are non-empty, lie in order inside the input, and come back the same when written out
// again with 4-byte start codes.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "protocol/annex_b.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumora::protocol;
  const ByteView input(data, size);
  const auto units = splitAnnexB(input);
  const std::uint8_t* previousEnd = data;
  Bytes rebuilt;
  for (const ByteView unit : units) {
    FUZZ_CHECK(!unit.empty());
    FUZZ_CHECK(unit.data() >= previousEnd && unit.data() + unit.size() <= data + size);
    previousEnd = unit.data() + unit.size();
    appendNal(rebuilt, unit);
  }
  const auto again = splitAnnexB(rebuilt);
  FUZZ_CHECK(again.size() == units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    FUZZ_CHECK(again[i].size() == units[i].size() &&
               std::equal(again[i].begin(), again[i].end(), units[i].begin()));
  }
  return 0;
}
