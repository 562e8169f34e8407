// Parses the input as a pairing code; an accepted code is 16 bytes whose code parses back.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "protocol/pairing_secret.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumora::protocol;
  auto secret =
      PairingSecret::fromCode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!secret) return 0;
  FUZZ_CHECK(secret->data.size() == 16);
  FUZZ_CHECK(secret->code().size() == 32);
  FUZZ_CHECK(PairingSecret::fromCode(secret->code()) == secret);
  return 0;
}
