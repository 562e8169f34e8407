#include "account/request_bodies.h"

#include <boost/json/parse.hpp>
#include <boost/mp11/algorithm.hpp>

#include <algorithm>
#include <optional>

#include "protocol/json_record_codec.h"
#include "protocol/pkce.h"

namespace lumora::account {
namespace {

namespace json = boost::json;
namespace json_codec = protocol::json_codec;

constexpr std::size_t kMaxProvider = 32;
constexpr std::size_t kMaxName = 200;
constexpr std::size_t kMaxPlatform = 64;
constexpr std::size_t kMaxHost = 255;
constexpr std::size_t kMaxCredential = 16 * 1024;
constexpr std::size_t kMaxRefreshToken = 1024;
constexpr std::size_t kMaxNonce = 512;
constexpr std::size_t kRoomKeyBytes = 32;
constexpr std::size_t kSignatureBytes = 64;

using Refusal = std::optional<ApiError>;

ApiError badRequest(std::string message) { return {400, "bad_request", std::move(message)}; }

std::string quoted(std::string_view key) { return "\"" + std::string(key) + "\""; }

// What the fields with a format of their own must look like: any refusal of one says so.
std::optional<std::string> formatOf(std::string_view key) {
  if (key == "codeVerifier")
    return "must be 43 to 128 letters, digits, \"-\", \".\", \"_\" or \"~\"";
  if (key == "roomKey") return "must be " + std::to_string(kRoomKeyBytes) + " bytes in Base64";
  if (key == "signature") return "must be " + std::to_string(kSignatureBytes) + " bytes in Base64";
  if (key == "fingerprint") return "must be 64 lower-case hexadecimal digits";
  return std::nullopt;
}

ApiError misformed(std::string_view key) { return badRequest(quoted(key) + " " + *formatOf(key)); }
ApiError required(std::string_view key) { return badRequest(quoted(key) + " is required"); }

// A text of 1..limit bytes.
Refusal bounded(std::string_view key, const std::string& text, std::size_t limit) {
  if (text.empty()) return badRequest(quoted(key) + " must not be empty");
  if (text.size() > limit) {
    return badRequest(quoted(key) + " is longer than " + std::to_string(limit) + " bytes");
  }
  return std::nullopt;
}

template <class T>
bool isIntegerField(std::string_view key) {
  bool integer = false;
  boost::mp11::mp_for_each<boost::describe::describe_members<T, boost::describe::mod_public>>(
      [&](auto member) {
        using Field = std::remove_cvref_t<decltype(std::declval<T&>().*member.pointer)>;
        if (key == member.name) integer = json_codec::WireInteger<Field>;
      });
  return integer;
}

// Why the decoder did not take a body of T, in the words of the checks below. The bodies'
// records are flat, so the failure's path is the field's key.
template <class T>
ApiError refusalOf(const json_codec::Failure& failure) {
  const std::string& key = failure.path;
  if (failure.fault == json_codec::Fault::missing) return required(key);
  if (formatOf(key)) return misformed(key);
  if (!isIntegerField<T>(key)) return badRequest(quoted(key) + " must be a string");
  // The bodies' integers are all ports.
  if (failure.fault == json_codec::Fault::outOfRange) {
    return badRequest(quoted(key) + " must be a port (0-65535)");
  }
  return badRequest(quoted(key) + " must be an integer");
}

// The body decoded as a T and passed through `check` (which may look at the object, too);
// the first refusal wins.
template <class T, class Check>
Parsed<T> decoded(std::string_view body, Check check) {
  boost::system::error_code ec;
  const json::value value = json::parse(body, ec);
  if (ec) return badRequest("the body is not valid JSON");
  if (!value.is_object()) return badRequest("the body must be a JSON object");
  T record;
  json_codec::Failure failure;
  if (!json_codec::decodeRecord(value, record, failure)) return refusalOf<T>(failure);
  if (Refusal refused = check(value.get_object(), record)) return std::move(*refused);
  return record;
}

}  // namespace

bool isPairingFingerprint(std::string_view text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

Parsed<LoginRequest> parseLoginRequest(std::string_view body) {
  return decoded<LoginRequest>(body, [](const json::object&, const LoginRequest& r) -> Refusal {
    if (Refusal refused = bounded("provider", r.provider, kMaxProvider)) return refused;
    if (Refusal refused = bounded("token", r.token, kMaxCredential)) return refused;
    if (r.codeVerifier && !protocol::pkce::isCodeVerifier(*r.codeVerifier)) {
      return misformed("codeVerifier");
    }
    return std::nullopt;
  });
}

Parsed<RefreshRequest> parseRefreshRequest(std::string_view body) {
  return decoded<RefreshRequest>(body, [](const json::object&, const RefreshRequest& r) {
    return bounded("refreshToken", r.refreshToken, kMaxRefreshToken);
  });
}

Parsed<DeviceRegistration> parseDeviceRegistration(std::string_view body) {
  return decoded<DeviceRegistration>(
      body, [](const json::object& object, const DeviceRegistration& r) -> Refusal {
        if (Refusal refused = bounded("name", r.name, kMaxName)) return refused;
        if (Refusal refused = bounded("platform", r.platform, kMaxPlatform)) return refused;
        // A fingerprint alone proves nothing: anyone who saw it could register it.
        const json::value* legacy = object.if_contains("pairingFingerprint");
        if (legacy != nullptr && !legacy->is_null()) {
          return badRequest(
              "\"pairingFingerprint\" is not taken: prove the pairing with \"roomKey\", "
              "\"nonce\" and \"signature\"");
        }
        if (!r.roomKey) return std::nullopt;
        if (r.roomKey->size() != kRoomKeyBytes) return misformed("roomKey");
        if (!r.nonce) return required("nonce");
        if (Refusal refused = bounded("nonce", *r.nonce, kMaxNonce)) return refused;
        if (!r.signature) return required("signature");
        if (r.signature->size() != kSignatureBytes) return misformed("signature");
        return std::nullopt;
      });
}

Parsed<DeviceRename> parseDeviceRename(std::string_view body) {
  return decoded<DeviceRename>(body, [](const json::object&, const DeviceRename& r) {
    return bounded("name", r.name, kMaxName);
  });
}

Parsed<ConnectionReport> parseConnectionReport(std::string_view body) {
  return decoded<ConnectionReport>(body, [](const json::object&, const ConnectionReport& r) {
    return bounded("host", r.host, kMaxHost);
  });
}

Parsed<RelayTokenRequest> parseRelayTokenRequest(std::string_view body) {
  return decoded<RelayTokenRequest>(
      body, [](const json::object&, const RelayTokenRequest& r) -> Refusal {
        if (Refusal refused = bounded("fingerprint", r.fingerprint, 64)) return refused;
        if (!isPairingFingerprint(r.fingerprint)) return misformed("fingerprint");
        return std::nullopt;
      });
}

}  // namespace lumora::account
