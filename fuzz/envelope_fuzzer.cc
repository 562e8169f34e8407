// Decodes the input as an envelope. Whatever decodes must encode and decode back to itself.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "protocol/envelope.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumora::protocol;
  auto decoded = Envelope::decode(ByteView(data, size));
  if (!decoded) {
    FUZZ_CHECK(!decoded.error().description.empty());
    return 0;
  }
  auto again = Envelope::decode(decoded->encode());
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(*again == *decoded);
  return 0;
}
