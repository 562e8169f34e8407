#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumora::protocol {

// Where and how to reach an agent: lumora://pair?host=…&cp=…&mp=…&code=…
struct PairingPayload {
  std::string host;
  std::uint16_t controlPort = 0;
  std::uint16_t mediaPort = 0;
  std::string code;

  // The link text, each value percent-encoded as a query value needs.
  std::string url() const;

  // Parses a link. The scheme must be "lumora" and the host "pair", exactly; host and code
  // must be non-empty and both ports decimal 0…65535. When a name repeats, the last value
  // counts; items without a value, other items and any path are ignored. The code is not
  // checked here.
  static std::optional<PairingPayload> fromURL(std::string_view text);

  bool operator==(const PairingPayload&) const = default;
};

}  // namespace lumora::protocol
