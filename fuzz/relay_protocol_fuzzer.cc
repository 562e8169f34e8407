// What crosses the relay before the session is sealed, and sealed messages themselves: the
// relay's notices (parsed by the agent and the relay), the handshake's three messages (parsed by
// both ends) and sealed messages (opened by both ends). None may crash, and nothing made without
// the secret may be accepted.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "protocol/relay_cipher.h"
#include "protocol/relay_handshake.h"
#include "protocol/relay_notices.h"

using namespace lumora::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const ByteView input(data + 1, size - 1);
  const std::string_view text = asText(input);
  static const PairingSecret secret{Bytes(16, 0x42)};
  static const std::string room(64, 'a');
  switch (data[0] % 6) {
    case 0:
      if (auto nonce = RelayNotice::parseChallenge(text)) FUZZ_CHECK(nonce->size() == 32);
      RelayNotice::parsePeerJoined(text);
      RelayNotice::isAdmitted(text);
      break;
    case 1:
      // No proof verifies for a room whose key nobody here holds.
      FUZZ_CHECK(!RelayNotice::verifyProof(room, Bytes(32, 1), text));
      break;
    case 2: {
      RelayHandshakeAgent agent(secret, RelayChannel::control, Bytes(32, 2));
      if (auto challenge = agent.challenge(input)) {
        FUZZ_CHECK(challenge->size() == RelayHandshake::kChallengeSize);
      }
      break;
    }
    case 3: {
      // A proof that was not made with the secret is refused.
      RelayHandshakeAgent agent(secret, RelayChannel::control, Bytes(32, 2));
      agent.challenge(RelayHandshakePhone(secret, RelayChannel::control, Bytes(32, 3)).hello());
      FUZZ_CHECK(!agent.verify(input));
      break;
    }
    case 4: {
      RelayHandshakePhone phone(secret, RelayChannel::media, Bytes(32, 3));
      FUZZ_CHECK(!phone.answer(input));
      break;
    }
    default: {
      RelayCipher receiving(Bytes(32, 4));
      FUZZ_CHECK(!receiving.open(Bytes(input.begin(), input.end())));
      break;
    }
  }
  return 0;
}
