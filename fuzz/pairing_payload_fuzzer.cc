// Parses the input as a pairing link; whatever parses must survive url() and parse again.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "protocol/pairing_payload.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumora::protocol;
  auto parsed =
      PairingPayload::fromURL(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!parsed) return 0;
  auto again = PairingPayload::fromURL(parsed->url());
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *parsed);
  return 0;
}
