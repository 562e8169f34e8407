// What the account service reads from a peer beyond HTTP framing: the JSON bodies of every
// route, the bearer and relay tokens, and the header of an identity provider's ID token. The
// first byte picks the reader. Nothing may throw or crash; whatever is accepted must satisfy
// the bounds the routes rely on, and every refusal must be a 400 that says why.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "account/id_token.h"
#include "account/request_bodies.h"
#include "account/token_signer.h"
#include "fuzz_check.h"
#include "protocol/pkce.h"

namespace {

using namespace lumora::account;

// A refusal is a 400 that says why; an accepted body must pass `holds`.
template <class T, class Holds>
void check(const Parsed<T>& parsed, Holds holds) {
  if (const auto* error = std::get_if<ApiError>(&parsed)) {
    FUZZ_CHECK(error->status == 400);
    FUZZ_CHECK(error->code == "bad_request");
    FUZZ_CHECK(!error->message.empty());
  } else {
    FUZZ_CHECK(holds(std::get<T>(parsed)));
  }
}

bool boundedText(const std::string& text, std::size_t limit) {
  return !text.empty() && text.size() <= limit;
}

bool isPort(int port) { return port >= 0 && port <= 65535; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 8) {
    case 0:
      check(parseLoginRequest(input), [](const LoginRequest& login) {
        return boundedText(login.provider, 32) && boundedText(login.token, 16 * 1024) &&
               (!login.codeVerifier || lumora::protocol::pkce::isCodeVerifier(*login.codeVerifier));
      });
      break;
    case 1:
      check(parseRefreshRequest(input),
            [](const RefreshRequest& refresh) { return boundedText(refresh.refreshToken, 1024); });
      break;
    case 2:
      check(parseDeviceRegistration(input), [](const DeviceRegistration& device) {
        return boundedText(device.name, 200) && boundedText(device.platform, 64) &&
               (!device.roomKey || (device.roomKey->size() == 32 && device.signature &&
                                    device.signature->size() == 64 && device.nonce &&
                                    boundedText(*device.nonce, 512)));
      });
      break;
    case 3:
      check(parseDeviceRename(input),
            [](const DeviceRename& rename) { return boundedText(rename.name, 200); });
      break;
    case 4:
      check(parseConnectionReport(input), [](const ConnectionReport& report) {
        return boundedText(report.host, 255) && isPort(report.controlPort) &&
               isPort(report.mediaPort);
      });
      break;
    case 5:
      check(parseRelayTokenRequest(input),
            [](const RelayTokenRequest& relay) { return isPairingFingerprint(relay.fingerprint); });
      break;
    case 6: {
      // Forged bearer and relay tokens: never accepted without the secret.
      static const TokenSigner signer("fuzzing secret");
      FUZZ_CHECK(!signer.verifyAccessToken(input, 0));
      FUZZ_CHECK(!signer.openRelayToken(input, 0));
      FUZZ_CHECK(!signer.verifyRegistrationNonce(input, "", 0));
      break;
    }
    default: {
      auto keyId = idTokenKeyId(input);
      if (keyId.index() == 0) FUZZ_CHECK(!std::get<0>(keyId).empty());
      if (keyId.index() == 1) FUZZ_CHECK(!std::get<1>(keyId).empty());
      break;
    }
  }
  return 0;
}
