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

namespace {

using namespace lumora::account;

template <class T>
const T* accepted(const Parsed<T>& parsed) {
  if (const auto* error = std::get_if<ApiError>(&parsed)) {
    FUZZ_CHECK(error->status == 400);
    FUZZ_CHECK(error->code == "bad_request");
    FUZZ_CHECK(!error->message.empty());
    return nullptr;
  }
  return &std::get<T>(parsed);
}

bool boundedText(const std::string& text, std::size_t limit) {
  return !text.empty() && text.size() <= limit;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 8) {
    case 0: {
      auto loginParsed = parseLoginRequest(input);
      if (auto* login = accepted(loginParsed)) {
        FUZZ_CHECK(boundedText(login->provider, 32) && boundedText(login->token, 16 * 1024));
      }
      break;
    }
    case 1: {
      auto refreshParsed = parseRefreshRequest(input);
      if (auto* refresh = accepted(refreshParsed)) {
        FUZZ_CHECK(boundedText(refresh->refreshToken, 1024));
      }
      break;
    }
    case 2: {
      auto deviceParsed = parseDeviceRegistration(input);
      if (auto* device = accepted(deviceParsed)) {
        FUZZ_CHECK(boundedText(device->name, 200) && boundedText(device->platform, 64));
        FUZZ_CHECK(!device->pairingFingerprint ||
                   isPairingFingerprint(*device->pairingFingerprint));
      }
      break;
    }
    case 3: {
      auto renameParsed = parseDeviceRename(input);
      if (auto* rename = accepted(renameParsed)) FUZZ_CHECK(boundedText(rename->name, 200));
      break;
    }
    case 4: {
      auto reportParsed = parseConnectionReport(input);
      if (auto* report = accepted(reportParsed)) {
        FUZZ_CHECK(boundedText(report->host, 255));
        FUZZ_CHECK(report->controlPort >= 0 && report->controlPort <= 65535);
        FUZZ_CHECK(report->mediaPort >= 0 && report->mediaPort <= 65535);
      }
      break;
    }
    case 5: {
      auto relayParsed = parseRelayTokenRequest(input);
      if (auto* relay = accepted(relayParsed)) {
        FUZZ_CHECK(isPairingFingerprint(relay->fingerprint));
      }
      break;
    }
    case 6: {
      // Forged bearer and relay tokens: never accepted without the secret.
      static const TokenSigner signer("fuzzing secret");
      FUZZ_CHECK(!signer.verifyAccessToken(input, 0));
      FUZZ_CHECK(!signer.relayTokenRoom(input, 0));
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
